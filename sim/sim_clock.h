// The simulator's time. In a process that also runs a master (the in-process segment,
// "sim:" adapters, unit tests) the slaves must age with the master's clock, so that a
// test's virtual clock moves busy times and late replies with the master's waits: the
// simulator reads the clock source of link/clock.h, its one tie to the master's side
// besides the capture seam.
#pragma once
#include <cstdint>

// Microseconds since an arbitrary origin, monotonic.
uint64_t SimNowMicros();
