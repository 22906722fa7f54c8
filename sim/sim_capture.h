// A capture back end whose adapters are virtual segments built in this process: the
// adapter name "sim:OPTIONS" opens a segment described by ecsim's own options (see
// sim/sim_options.h), e.g. "sim:--slaves 3 --name 2:'Drive A'". Each open builds a
// segment of its own, with its own wire, so several masters in one process each have
// their own segment; closing destroys it (EEPROM images given with --eeprom-dir or
// --image are written back). Needs no privileges, no namespaces and no network.
#pragma once
#include "link/capture.h"

// The prefix that names an in-process segment.
constexpr const char kSimAdapterPrefix[] = "sim:";

extern const CaptureBackend kSimCaptureBackend;

// Whether an adapter name names an in-process segment.
bool SimAdapterName(const char* name);

struct SimSegment;
// The segment behind an open handle of this back end (for tests and tools that look
// inside it); null for a null handle.
SimSegment* SimCaptureSegment(void* handle);
