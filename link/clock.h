// Monotonic microsecond clock, deadlines and short waits.
#pragma once
#include <cstdint>

struct TimeStamp {
    int32_t seconds;       // whole seconds since an arbitrary origin (not wall-clock time)
    int32_t microseconds;  // 0..999999
};

TimeStamp ClockNow();
TimeStamp DeadlineAfter(uint32_t microseconds);
bool DeadlinePassed(TimeStamp deadline);
void WaitMicroseconds(uint32_t microseconds);

// Pure arithmetic behind DeadlineAfter/DeadlinePassed, exposed so the carry and the
// comparison can be checked against fixed time stamps.
TimeStamp TimeStampAdd(TimeStamp start, uint32_t microseconds);
bool TimeStampReached(TimeStamp now, TimeStamp deadline);
