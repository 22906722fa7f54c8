#include "sim/wire.h"

#include <cstring>

#include "wire/frame_layout.h"

namespace {

uint64_t NextRandom(SimWire* wire) {
    // xorshift64*: small, seeded, reproducible across runs
    uint64_t x = wire->rng_state;
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    wire->rng_state = x;
    return x * 0x2545F4914F6CDD1DULL;
}

void Enqueue(SimWire* wire, const uint8_t* frame, int length, uint64_t due_us) {
    if (length <= 0) return;
    if (length > kSimFrameBytes) length = kSimFrameBytes;
    if (wire->count == kSimWireQueue) {  // full: the oldest frame is lost, as on a busy NIC
        wire->head = (wire->head + 1) % kSimWireQueue;
        wire->count--;
    }
    SimQueuedFrame& slot = wire->queue[(wire->head + wire->count) % kSimWireQueue];
    slot.due_us = due_us;
    slot.length = length;
    memcpy(slot.bytes, frame, static_cast<size_t>(length));
    wire->count++;
}

void QueueForeignFrame(SimWire* wire) {
    uint8_t frame[64] = {0};
    memset(frame, 0xFF, 6);
    const uint8_t source[6] = {0x02, 0x00, 0x5E, 0x10, 0x20, 0x30};
    memcpy(frame + 6, source, 6);
    switch (NextRandom(wire) % 3) {
        case 0:  // another protocol
            frame[12] = 0x08;
            frame[13] = 0x00;
            break;
        case 1:  // EtherCAT, index beyond the master's slots
            FrameSetEtherType(frame);
            WireStore16(frame + kEthernetHeaderBytes, EtherCatHeaderWord(static_cast<uint16_t>(DatagramBytes(2))));
            DatagramLayHeader(frame + kFirstDatagramOffset, CMD_FPRD, static_cast<uint8_t>(16 + NextRandom(wire) % 240),
                              0, 0, 0, false);
            break;
        default:  // EtherCAT, a slot's index, but not a reply to anything the master sent
            FrameSetEtherType(frame);
            WireStore16(frame + kEthernetHeaderBytes, EtherCatHeaderWord(static_cast<uint16_t>(DatagramBytes(2))));
            DatagramLayHeader(frame + kFirstDatagramOffset, CMD_FRMW, static_cast<uint8_t>(NextRandom(wire) % 16), 0,
                              0xBEEF, 0, false);
            break;
    }
    Enqueue(wire, frame, 60, SimSegmentNowMicros(wire->segment));
    wire->foreign_sent++;
}

}  // namespace

bool SimWireChance(SimWire* wire, double probability) {
    if (probability <= 0) return false;
    return static_cast<double>(NextRandom(wire) >> 11) * (1.0 / 9007199254740992.0) < probability;
}

void SimWireInit(SimWire* wire, SimSegment* segment, const SimFaultSettings& faults) {
    *wire = SimWire{};
    wire->segment = segment;
    wire->faults = faults;
    wire->rng_state = faults.seed != 0 ? faults.seed : 0x9E3779B97F4A7C15ULL;
}

uint64_t SimWireFrameNs(int length, int slaves, uint32_t forward_ns) {
    uint64_t bytes = static_cast<uint64_t>(length > 0 ? length : 0) + kSimWireOverheadBytes;
    if (bytes < kSimMinimumWireBytes) bytes = kSimMinimumWireBytes;
    return bytes * kSimNsPerByte + static_cast<uint64_t>(slaves > 0 ? slaves : 0) * forward_ns;
}

namespace {

// When the reply to a frame sent now is back: at once, or with wire_timing after the
// frame had the line to itself for its serialisation and passed every slave on the line.
// Called after the segment ran the frame.
uint64_t ReplyDue(SimWire* wire, int length) {
    uint64_t now = SimSegmentNowMicros(wire->segment);
    if (!wire->faults.wire_timing) return now;
    uint64_t now_ns = now * 1000;
    uint64_t start = wire->line_free_ns > now_ns ? wire->line_free_ns : now_ns;
    uint64_t serialisation = SimWireFrameNs(length, 0, 0);
    wire->line_free_ns = start + serialisation;
    // A line broken behind a slave returns the frame there: only the slaves before the
    // break forward it.
    int slaves = wire->segment->last_frame_slaves;
    uint64_t back_ns = start + SimWireFrameNs(length, slaves, wire->faults.forward_ns);
    return (back_ns + 999) / 1000;
}

}  // namespace

void SimWireRequest(SimWire* wire, const uint8_t* frame, int length) {
    wire->requests++;
    if (length <= 0 || length > kSimFrameBytes) return;
    if (SimWireChance(wire, wire->faults.foreign_rate)) QueueForeignFrame(wire);
    bool lost = SimWireChance(wire, wire->faults.drop);
    bool lose_request = lost && (NextRandom(wire) & 1) != 0;
    if (lose_request) {
        wire->dropped++;
        return;
    }
    uint8_t reply[kSimFrameBytes];
    memcpy(reply, frame, static_cast<size_t>(length));
    if (!SimProcessFrame(wire->segment, reply, length)) return;
    if (lost) {  // the slaves executed it; the reply is lost on the way back
        wire->dropped++;
        return;
    }
    uint64_t due = ReplyDue(wire, length);
    if (SimWireChance(wire, wire->faults.late)) due += wire->faults.late_us;
    Enqueue(wire, reply, length, due);
    wire->replies++;
    if (SimWireChance(wire, wire->faults.duplicate)) Enqueue(wire, reply, length, due);
}

void SimWireInject(SimWire* wire, const uint8_t* frame, int length, uint64_t delay_us) {
    Enqueue(wire, frame, length, SimSegmentNowMicros(wire->segment) + delay_us);
}

int SimWireTake(SimWire* wire, uint8_t* out) {
    if (wire->count == 0) return 0;
    uint64_t now = SimSegmentNowMicros(wire->segment);
    // Deliver the first frame that is due; late frames let later ones overtake them.
    for (int i = 0; i < wire->count; i++) {
        int at = (wire->head + i) % kSimWireQueue;
        if (wire->queue[at].due_us > now) continue;
        int length = wire->queue[at].length;
        memcpy(out, wire->queue[at].bytes, static_cast<size_t>(length));
        // close the gap
        for (int j = i; j > 0; j--)
            wire->queue[(wire->head + j) % kSimWireQueue] = wire->queue[(wire->head + j - 1) % kSimWireQueue];
        wire->head = (wire->head + 1) % kSimWireQueue;
        wire->count--;
        return length;
    }
    return 0;
}
