// A clock the test controls, installed as the process's clock source for the life of
// the object. Time moves by the waits the code under test asks for and by a fixed step
// at every reading, so every loop that polls the clock ends, and how many polls, sends
// and resends an exchange makes depends on the code alone, not on how much CPU the test
// thread got. Threads may share it.
#pragma once
#include <atomic>
#include <cstdint>

#include "link/clock.h"

class VirtualClock {
public:
    explicit VirtualClock(uint32_t step_us = 1);
    ~VirtualClock();
    VirtualClock(const VirtualClock&) = delete;
    VirtualClock& operator=(const VirtualClock&) = delete;

    void Advance(uint32_t microseconds) { now_us_ += microseconds; }
    uint64_t Micros() const { return now_us_.load(); }

private:
    static uint64_t Now(void* context);
    static void Wait(void* context, uint32_t microseconds);

    std::atomic<uint64_t> now_us_;
    uint32_t step_us_;
    ClockSource source_;
};
