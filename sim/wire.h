// The wire between a master and a virtual segment, with fault injection: lost
// requests or replies, duplicated and late replies, foreign frames. Shared by the
// in-process back end and by ecsim, so both misbehave the same way.
#pragma once
#include <cstdint>

#include "sim/segment.h"

struct SimFaultSettings {
    double drop;          // probability that an exchange is lost (request or reply, half each)
    double duplicate;     // probability that a reply arrives twice
    double late;          // probability that a reply is held back by late_us
    uint32_t late_us;     // how long a late reply is held back
    double foreign_rate;  // probability that a foreign frame arrives before a reply
    uint64_t seed;
};

enum { kSimWireQueue = 64, kSimFrameBytes = 1518 };

struct SimQueuedFrame {
    uint64_t due_us;
    int length;
    uint8_t bytes[kSimFrameBytes];
};

struct SimWire {
    SimSegment* segment;
    SimFaultSettings faults;
    uint64_t rng_state;
    SimQueuedFrame queue[kSimWireQueue];  // ring, in arrival order
    int head;
    int count;
    uint64_t requests;
    uint64_t replies;
    uint64_t dropped;
    uint64_t foreign_sent;
};

uint64_t SimNowMicros();
void SimWireInit(SimWire* wire, SimSegment* segment, const SimFaultSettings& faults);
// A frame from the master: runs it through the segment (unless lost) and queues what
// the master will receive.
void SimWireRequest(SimWire* wire, const uint8_t* frame, int length);
// Queues an arbitrary frame for the master (tests inject foreign or stray frames).
void SimWireInject(SimWire* wire, const uint8_t* frame, int length, uint64_t delay_us);
// The next frame due for the master: its length (0 when none is due), bytes in `out`.
int SimWireTake(SimWire* wire, uint8_t* out);
// True with the given probability, from the wire's seeded generator.
bool SimWireChance(SimWire* wire, double probability);
