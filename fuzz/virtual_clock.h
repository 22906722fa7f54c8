// A virtual clock for the fuzz targets.
//
// The targets link with --wrap for the four clock functions the master calls, so the
// master's deadlines and waits run on this clock instead of the machine's: a wait of
// 20 ms costs no real time, and an input behaves the same on a loaded machine as on an
// idle one, so every finding reproduces. Time moves forward by the waits the master
// asks for, by a small step at every deadline test (a poll costs time on a real wire
// too) and by whatever the back end adds per exchange. A loop that tests a deadline
// therefore always ends; a loop that never tests one shows up as a libFuzzer timeout.
//
// EC_FUZZ_REAL_CLOCK=1 in the environment passes everything to the real clock, for
// looking at a finding under real timing.
#pragma once
#include <cstdint>

enum { kVirtualPollMicros = 2 };

// Sets the clock to `start_us` microseconds since its origin.
void VirtualClockReset(uint64_t start_us);
void VirtualClockAdvance(uint32_t microseconds);
uint64_t VirtualClockMicros();
