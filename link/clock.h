// Monotonic microsecond clock, deadlines and short waits.
#pragma once
#include <cstdint>

struct TimeStamp {
    int32_t seconds;       // whole seconds since an arbitrary origin (not wall-clock time)
    int32_t microseconds;  // 0..999999
};

// Where time comes from. The default reads CLOCK_MONOTONIC and sleeps with nanosleep.
// Tests install a virtual clock, so that deadlines, resends and rests depend on the
// time the test lets pass and not on how much CPU the test thread got. The master and
// the in-process virtual segment read the same source.
struct ClockSource {
    uint64_t (*now_us)(void* context);                    // microseconds since an arbitrary origin
    void (*wait_us)(void* context, uint32_t microseconds);  // returns once that much time has passed
    void* context;
};
// Installs a source for the whole process (kept by pointer); null restores the monotonic
// clock. Install before any exchange starts, never while one runs.
void ClockInstall(const ClockSource* source);

// The process's clock: the installed source, else CLOCK_MONOTONIC.
uint64_t ClockMicros();
TimeStamp ClockNow();
TimeStamp DeadlineAfter(uint32_t microseconds);
bool DeadlinePassed(TimeStamp deadline);
void WaitMicroseconds(uint32_t microseconds);

// A master's clock: the source it was given (FramePort::clock), or the process's clock
// when it was given none (null). Several masters in one process may each run on their
// own source.
uint64_t ClockMicrosOf(const ClockSource* clock);
TimeStamp ClockNowOf(const ClockSource* clock);
TimeStamp DeadlineAfterOf(const ClockSource* clock, uint32_t microseconds);
bool DeadlinePassedOf(const ClockSource* clock, TimeStamp deadline);
void WaitMicrosecondsOf(const ClockSource* clock, uint32_t microseconds);

// Pure arithmetic behind DeadlineAfter/DeadlinePassed, exposed so the carry and the
// comparison can be checked against fixed time stamps.
TimeStamp TimeStampAdd(TimeStamp start, uint32_t microseconds);
bool TimeStampReached(TimeStamp now, TimeStamp deadline);
// Microseconds from `from` to `to` (negative when `to` is earlier).
int64_t TimeStampMicrosBetween(TimeStamp from, TimeStamp to);
