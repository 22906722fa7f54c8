#include "virtual_clock.h"

#include <cstdlib>

#include "link/clock.h"

// The real functions, reached through the linker's --wrap. The names are the mangled
// names of ClockNow(), DeadlineAfter(uint32_t), DeadlinePassed(TimeStamp) and
// WaitMicroseconds(uint32_t), and of their forms on a master's own clock (ClockNowOf and
// so on, which the master's code calls), with the linker's prefixes. The fuzz targets
// give no master a clock of its own: both forms run on the one virtual clock.
extern "C" {
TimeStamp __real__Z8ClockNowv();
TimeStamp __real__Z13DeadlineAfterj(uint32_t);
bool __real__Z14DeadlinePassed9TimeStamp(TimeStamp);
void __real__Z16WaitMicrosecondsj(uint32_t);
TimeStamp __real__Z10ClockNowOfPK11ClockSource(const ClockSource*);
TimeStamp __real__Z15DeadlineAfterOfPK11ClockSourcej(const ClockSource*, uint32_t);
bool __real__Z16DeadlinePassedOfPK11ClockSource9TimeStamp(const ClockSource*, TimeStamp);
void __real__Z18WaitMicrosecondsOfPK11ClockSourcej(const ClockSource*, uint32_t);
}

namespace {

uint64_t g_now_us = 0;
int g_use_real_clock = -1;  // -1: not yet looked up

bool UseRealClock() {
    if (g_use_real_clock < 0) {
        const char* setting = getenv("EC_FUZZ_REAL_CLOCK");
        g_use_real_clock = setting != nullptr && setting[0] == '1' ? 1 : 0;
    }
    return g_use_real_clock == 1;
}

TimeStamp VirtualNow() {
    TimeStamp t;
    t.seconds = static_cast<int32_t>(g_now_us / 1000000);
    t.microseconds = static_cast<int32_t>(g_now_us % 1000000);
    return t;
}

}  // namespace

void VirtualClockReset(uint64_t start_us) { g_now_us = start_us; }
void VirtualClockAdvance(uint32_t microseconds) { g_now_us += microseconds; }
uint64_t VirtualClockMicros() { return g_now_us; }

extern "C" {

TimeStamp __wrap__Z8ClockNowv() {
    if (UseRealClock()) return __real__Z8ClockNowv();
    return VirtualNow();
}

TimeStamp __wrap__Z13DeadlineAfterj(uint32_t microseconds) {
    if (UseRealClock()) return __real__Z13DeadlineAfterj(microseconds);
    return TimeStampAdd(VirtualNow(), microseconds);
}

bool __wrap__Z14DeadlinePassed9TimeStamp(TimeStamp deadline) {
    if (UseRealClock()) return __real__Z14DeadlinePassed9TimeStamp(deadline);
    g_now_us += kVirtualPollMicros;
    return TimeStampReached(VirtualNow(), deadline);
}

void __wrap__Z16WaitMicrosecondsj(uint32_t microseconds) {
    if (UseRealClock()) {
        __real__Z16WaitMicrosecondsj(microseconds);
        return;
    }
    g_now_us += microseconds;
}

TimeStamp __wrap__Z10ClockNowOfPK11ClockSource(const ClockSource* clock) {
    if (UseRealClock()) return __real__Z10ClockNowOfPK11ClockSource(clock);
    return VirtualNow();
}

TimeStamp __wrap__Z15DeadlineAfterOfPK11ClockSourcej(const ClockSource* clock, uint32_t microseconds) {
    if (UseRealClock()) return __real__Z15DeadlineAfterOfPK11ClockSourcej(clock, microseconds);
    return TimeStampAdd(VirtualNow(), microseconds);
}

bool __wrap__Z16DeadlinePassedOfPK11ClockSource9TimeStamp(const ClockSource* clock, TimeStamp deadline) {
    if (UseRealClock()) return __real__Z16DeadlinePassedOfPK11ClockSource9TimeStamp(clock, deadline);
    g_now_us += kVirtualPollMicros;
    return TimeStampReached(VirtualNow(), deadline);
}

void __wrap__Z18WaitMicrosecondsOfPK11ClockSourcej(const ClockSource* clock, uint32_t microseconds) {
    if (UseRealClock()) {
        __real__Z18WaitMicrosecondsOfPK11ClockSourcej(clock, microseconds);
        return;
    }
    g_now_us += microseconds;
}

}  // extern "C"
