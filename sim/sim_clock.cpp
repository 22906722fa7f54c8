#include "sim/sim_clock.h"

#include "link/clock.h"
#include "sim/segment.h"

uint64_t SimNowMicros() { return ClockMicros(); }

uint64_t SimSegmentNowMicros(const SimSegment* segment) {
    return ClockMicrosOf(segment != nullptr ? segment->clock : nullptr);
}

uint64_t SimSlaveNowMicros(const SimSlave* slave) { return SimSegmentNowMicros(slave->segment); }
