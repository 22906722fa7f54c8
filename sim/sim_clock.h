// The simulator's time. In a process that also runs a master (the in-process segment,
// "sim:" adapters, unit tests) the slaves must age with the master's clock, so that a
// test's virtual clock moves busy times and late replies with the master's waits: the
// simulator reads the clock source of link/clock.h, its one tie to the master's side
// besides the capture seam.
#pragma once
#include <cstdint>

struct ClockSource;
struct SimSegment;
struct SimSlave;

// Microseconds since an arbitrary origin, monotonic: the process's clock.
uint64_t SimNowMicros();
// The time of a segment: the clock of the master it was opened by (SimSegment::clock,
// set through the capture seam), else the process's clock. A null segment reads the
// process's clock.
uint64_t SimSegmentNowMicros(const SimSegment* segment);
uint64_t SimSlaveNowMicros(const SimSlave* slave);
