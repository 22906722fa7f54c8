#include "link/clock.h"

#include <atomic>
#include <ctime>

namespace {

std::atomic<const ClockSource*> g_source{nullptr};

uint64_t MonotonicMicros() {
    timespec now{};
    // CLOCK_MONOTONIC has nanosecond resolution on Linux and needs no timer-resolution
    // raise; a 1 ms nanosleep returns after about 1 ms on any current kernel.
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

// The source a call reads: the master's own, else the one installed for the process,
// else none (CLOCK_MONOTONIC).
const ClockSource* Resolve(const ClockSource* clock) {
    return clock != nullptr ? clock : g_source.load(std::memory_order_acquire);
}

}  // namespace

void ClockInstall(const ClockSource* source) { g_source.store(source, std::memory_order_release); }

uint64_t ClockMicrosOf(const ClockSource* clock) {
    const ClockSource* source = Resolve(clock);
    return source != nullptr ? source->now_us(source->context) : MonotonicMicros();
}

TimeStamp ClockNowOf(const ClockSource* clock) {
    int64_t count = static_cast<int64_t>(ClockMicrosOf(clock));
    TimeStamp t;
    t.seconds = static_cast<int32_t>(count / 1000000);
    t.microseconds = static_cast<int32_t>(count - static_cast<int64_t>(t.seconds) * 1000000);
    return t;
}

TimeStamp TimeStampAdd(TimeStamp start, uint32_t microseconds) {
    TimeStamp t;
    t.seconds = start.seconds + static_cast<int32_t>(microseconds / 1000000);
    t.microseconds = start.microseconds + static_cast<int32_t>(microseconds % 1000000);
    if (t.microseconds >= 1000000) {  // both addends are below 1,000,000: one carry suffices
        t.seconds += 1;
        t.microseconds -= 1000000;
    }
    return t;
}

bool TimeStampReached(TimeStamp now, TimeStamp deadline) {
    if (now.seconds < deadline.seconds) return false;
    if (now.seconds == deadline.seconds && now.microseconds < deadline.microseconds) return false;
    return true;
}

int64_t TimeStampMicrosBetween(TimeStamp from, TimeStamp to) {
    return (static_cast<int64_t>(to.seconds) - from.seconds) * 1000000 + to.microseconds - from.microseconds;
}

TimeStamp DeadlineAfterOf(const ClockSource* clock, uint32_t microseconds) {
    return TimeStampAdd(ClockNowOf(clock), microseconds);
}

bool DeadlinePassedOf(const ClockSource* clock, TimeStamp deadline) {
    return TimeStampReached(ClockNowOf(clock), deadline);
}

void WaitMicrosecondsOf(const ClockSource* clock, uint32_t microseconds) {
    const ClockSource* source = Resolve(clock);
    if (source != nullptr) {
        source->wait_us(source->context, microseconds);
        return;
    }
    TimeStamp deadline = DeadlineAfterOf(nullptr, microseconds);
    if (microseconds >= 1000) {
        timespec pause{};
        uint32_t ms = microseconds / 1000;
        pause.tv_sec = ms / 1000;
        pause.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
        while (nanosleep(&pause, &pause) != 0) {
            // interrupted by a signal: sleep the rest
        }
    }
    while (!DeadlinePassedOf(nullptr, deadline)) {
    }
}

uint64_t ClockMicros() { return ClockMicrosOf(nullptr); }
TimeStamp ClockNow() { return ClockNowOf(nullptr); }
TimeStamp DeadlineAfter(uint32_t microseconds) { return DeadlineAfterOf(nullptr, microseconds); }
bool DeadlinePassed(TimeStamp deadline) { return DeadlinePassedOf(nullptr, deadline); }
void WaitMicroseconds(uint32_t microseconds) { WaitMicrosecondsOf(nullptr, microseconds); }
