// The wire between a master and a virtual segment, with fault injection: lost
// requests or replies, duplicated and late replies, foreign frames. Shared by the
// in-process back end and by ecsim, so both misbehave the same way.
#pragma once
#include <cstdint>

#include "sim/segment.h"
#include "sim/sim_clock.h"  // the wire's time; tests reach it through this header

struct SimFaultSettings {
    double drop;          // probability that an exchange is lost (request or reply, half each)
    double duplicate;     // probability that a reply arrives twice
    double late;          // probability that a reply is held back by late_us
    uint32_t late_us;     // how long a late reply is held back
    double foreign_rate;  // probability that a foreign frame arrives before a reply
    uint64_t seed;
    // A wire with the costs of a real one: each frame takes its serialisation time at
    // 100 Mbit/s (preamble, frame, checksum and gap, at least 84 byte times, one frame at
    // a time on the line) plus forward_ns for every slave it passes; the reply is due
    // then. Off: replies are due at once.
    bool wire_timing;
    uint32_t forward_ns;  // per slave; kSimDefaultForwardNs when wire_timing is set from an option
};

enum : uint32_t {
    kSimDefaultForwardNs = 1000,
    kSimNsPerByte = 80,         // 100 Mbit/s
    kSimMinimumWireBytes = 84,  // 64-byte minimum frame, 8 preamble, 12 inter-frame gap
    kSimWireOverheadBytes = 24, // checksum 4, preamble 8, gap 12
};

// How long the wire holds a frame of `length` bytes (from the destination address on,
// without checksum) that passes `slaves` slaves, in nanoseconds: its serialisation and
// the forwarding of each slave.
uint64_t SimWireFrameNs(int length, int slaves, uint32_t forward_ns);

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
    uint64_t line_free_ns;  // with wire_timing: when the line can take the next frame
};

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
