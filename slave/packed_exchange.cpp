// Packing datagrams into frames and keeping several frames in flight over the port.
#include "slave/packed_exchange.h"

#include <cstring>

#include "link/clock.h"
#include "link/datagram.h"
#include "link/frame_port.h"

namespace {

constexpr int kFirstDatagramAt = kEthernetHeaderBytes + 2;  // behind the EtherCAT header
constexpr uint16_t kMoreFollows = 0x8000;
constexpr uint16_t kFrameTypeCommands = 0x1000;
// Time for a reply to come back, however short the caller's wait: a frame just sent is
// given at least this much.
constexpr uint32_t kShortestWaitUs = 1000;

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

int DatagramBytes(const PackedDatagram& d) { return kDatagramHeaderBytes + d.length + 2; }

bool CommandReads(uint8_t command) {
    return command == CMD_APRD || command == CMD_FPRD || command == CMD_BRD || command == CMD_LRD ||
           command == CMD_APRW || command == CMD_FPRW || command == CMD_BRW || command == CMD_LRW ||
           command == CMD_ARMW || command == CMD_FRMW;
}

bool CommandSendsData(uint8_t command) {
    return command != CMD_NOP && command != CMD_APRD && command != CMD_FPRD && command != CMD_BRD &&
           command != CMD_LRD;
}

// Commands whose address field no slave changes (configured-address and logical).
bool KeepsAddress(uint8_t command) {
    return (command >= CMD_FPRD && command <= CMD_FPRW) || (command >= CMD_LRD && command <= CMD_LRW) ||
           command == CMD_FRMW;
}

// Lays datagrams first.. into the slot's frame as far as they fit; returns how many.
int LayFrame(FramePort* port, int slot, const PackedDatagram* list, int first, int count) {
    uint8_t* frame = port->tx_frame[slot];
    const uint8_t index = PortIndexByte(port, slot);
    int bytes = 0;
    int last = first;
    while (last < count && bytes + DatagramBytes(list[last]) <= kPackedFrameBytes) bytes += DatagramBytes(list[last++]);
    int at = kFirstDatagramAt;
    for (int n = first; n < last; n++) {
        const PackedDatagram& d = list[n];
        uint8_t* p = frame + at;
        p[0] = d.command;
        p[1] = index;
        Put16(p + 2, d.adp);
        Put16(p + 4, d.ado);
        Put16(p + 6, static_cast<uint16_t>(d.length | (n + 1 < last ? kMoreFollows : 0)));
        Put16(p + 8, 0);
        if (d.length > 0) {
            if (CommandSendsData(d.command) && d.out != nullptr)
                memcpy(p + kDatagramHeaderBytes, d.out, d.length);
            else
                memset(p + kDatagramHeaderBytes, 0, d.length);
        }
        Put16(p + kDatagramHeaderBytes + d.length, 0);
        at += DatagramBytes(d);
    }
    Put16(frame + kEthernetHeaderBytes, static_cast<uint16_t>(kFrameTypeCommands | bytes));
    port->tx_length[slot] = at;
    return last - first;
}

// Reads the working counters and data of datagrams first..first+n-1 out of the slot's
// reply. False when a datagram of the reply is not the one sent (the port checked the
// first only): the frame is then nobody's reply.
bool TakeReply(FramePort* port, int slot, PackedDatagram* list, int first, int n) {
    const uint8_t* reply = port->rx_frame[slot];
    const uint8_t* request = port->tx_frame[slot] + kEthernetHeaderBytes;
    int at = 2;
    for (int k = 0; k < n; k++) {
        const PackedDatagram& d = list[first + k];
        const uint8_t* got = reply + at;
        const uint8_t* sent = request + at;
        if (got[0] != sent[0] || got[1] != sent[1] || memcmp(got + 4, sent + 4, 4) != 0) return false;
        if (KeepsAddress(d.command) && memcmp(got + 2, sent + 2, 2) != 0) return false;
        at += DatagramBytes(d);
    }
    at = 2;
    for (int k = 0; k < n; k++) {
        PackedDatagram& d = list[first + k];
        const uint8_t* got = reply + at;
        d.result = Get16(got + kDatagramHeaderBytes + d.length);
        if (d.result > 0 && d.in != nullptr && d.length > 0 && CommandReads(d.command))
            memcpy(d.in, got + kDatagramHeaderBytes, d.length);
        at += DatagramBytes(d);
    }
    return true;
}

struct InFlight {
    int slot;
    int first;
    int count;
    TimeStamp due;
};

void MarkUnanswered(PackedDatagram* list, int first, int n) {
    for (int k = 0; k < n; k++) list[first + k].result = NoFrame;
}

}  // namespace

int PackedExchange(FramePort* port, PackedDatagram* list, int count, uint32_t reply_wait_us, PackedTally* tally) {
    if (count < 0 || (count > 0 && list == nullptr)) return ArgumentError;
    for (int n = 0; n < count; n++)
        if (list[n].length > kMaxDatagramData) return ArgumentError;
    if (reply_wait_us < kShortestWaitUs) reply_wait_us = kShortestWaitUs;
    PackedTally local{};
    int next = 0;
    while (next < count) {
        InFlight flight[kPackedFramesInFlight];
        int frames = 0;
        while (next < count && frames < kPackedFramesInFlight) {
            int slot = PortIsOpen(port) ? PortGetIndexBefore(port, DeadlineAfter(reply_wait_us)) : -1;
            if (slot < 0) break;
            int laid = LayFrame(port, slot, list, next, count);
            PortSendFrame(port, slot);
            flight[frames++] = InFlight{slot, next, laid, DeadlineAfter(reply_wait_us)};
            next += laid;
            local.frames++;
        }
        if (frames == 0) {
            // No slot came free (or the port is closed): the rest got no reply.
            MarkUnanswered(list, next, count - next);
            break;
        }
        local.round_trips++;
        for (int f = 0; f < frames; f++) {
            const InFlight& sent = flight[f];
            int result = PortWaitFrame(port, sent.slot, sent.due);
            if (result >= 0 && TakeReply(port, sent.slot, list, sent.first, sent.count)) {
                PortSetBufState(port, sent.slot, EMPTY);
                continue;
            }
            MarkUnanswered(list, sent.first, sent.count);
            local.frames_lost++;
            PortAbandon(port, sent.slot);
        }
    }
    local.datagrams = static_cast<uint32_t>(count);
    if (tally != nullptr) {
        tally->frames += local.frames;
        tally->round_trips += local.round_trips;
        tally->datagrams += local.datagrams;
        tally->frames_lost += local.frames_lost;
    }
    return static_cast<int>(local.frames);
}
