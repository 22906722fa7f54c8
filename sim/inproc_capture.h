// In-process capture back end: the master's real frame port talks to virtual segments
// inside the same process. Each adapter is a name, a description and, optionally, a
// wire to a segment (an adapter without one opens but never answers). The back end may
// be used by several threads at once, as the frame port allows: one lock covers the
// wires and the records of what was sent.
#pragma once
#include <cstdint>

#include "sim/wire.h"

struct InprocAdapter {
    const char* name;         // null: the listing reports no name
    const char* description;  // null: the listing reports no description
    SimWire* wire;            // null: an adapter without slaves
    bool fails_to_open;
    bool fails_to_send;
    int opens;                // counted by the back end
    int closes;
};

// Installs the back end with these adapters (kept by pointer, at most 8) as the
// process's capture back end. list_fails makes the adapter listing fail.
void InprocInstall(InprocAdapter* adapters, int count, bool list_fails = false);
// Restores libpcap.
void InprocUninstall();
// Frames the master sent through the back end since install (for tests that look at
// what went on the wire): count and a copy of the last one.
uint64_t InprocFramesSent();
int InprocLastSent(uint8_t* out);
// Hands the next read of any adapter this frame as it is, before anything the wire
// holds, up to kInprocRawBytes long: frames no wire carries (longer than a slot).
enum { kInprocRawBytes = 4096 };
void InprocDeliverRaw(const uint8_t* frame, int length);
