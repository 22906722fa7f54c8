#include "sim/sim_clock.h"

#include "link/clock.h"

uint64_t SimNowMicros() { return ClockMicros(); }
