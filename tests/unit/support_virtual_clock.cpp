#include "support_virtual_clock.h"

// The virtual time starts where the installed clock stands, so time stamps the segment
// and the master took before (busy times, rests) keep their meaning.
VirtualClock::VirtualClock(uint32_t step_us) : now_us_(ClockMicros()), step_us_(step_us) {
    source_ = ClockSource{Now, Wait, this};
    ClockInstall(&source_);
}

VirtualClock::~VirtualClock() { ClockInstall(nullptr); }

uint64_t VirtualClock::Now(void* context) {
    VirtualClock* clock = static_cast<VirtualClock*>(context);
    return clock->now_us_.fetch_add(clock->step_us_) + clock->step_us_;
}

void VirtualClock::Wait(void* context, uint32_t microseconds) { static_cast<VirtualClock*>(context)->Advance(microseconds); }
