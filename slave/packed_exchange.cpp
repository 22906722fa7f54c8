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
// The longest wait a frame sent again is given.
constexpr uint32_t kLongestWaitUs = 20000;

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

int DatagramBytes(const PackedDatagram& d) { return kDatagramHeaderBytes + d.length + 2; }

// Marks a datagram that goes out in the pass now running.
constexpr int32_t kPending = -1000;
bool Pending(const PackedDatagram& d) { return d.result == kPending; }

// The next pending datagram from `at` on, or `count`.
int NextPending(const PackedDatagram* list, int at, int count) {
    while (at < count && !Pending(list[at])) at++;
    return at;
}

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

// Lays the pending datagrams from `first` on into the slot's frame as far as they fit;
// returns the list position behind the last one laid.
int LayFrame(FramePort* port, int slot, const PackedDatagram* list, int first, int count) {
    uint8_t* frame = port->tx_frame[slot];
    const uint8_t index = PortIndexByte(port, slot);
    int bytes = 0;
    int end = first;
    int laid = 0;
    for (int n = NextPending(list, first, count); n < count; n = NextPending(list, n + 1, count)) {
        if (bytes + DatagramBytes(list[n]) > kPackedFrameBytes) break;
        bytes += DatagramBytes(list[n]);
        end = n + 1;
        laid++;
    }
    int at = kFirstDatagramAt;
    for (int n = NextPending(list, first, end); n < end; n = NextPending(list, n + 1, end)) {
        const PackedDatagram& d = list[n];
        uint8_t* p = frame + at;
        p[0] = d.command;
        p[1] = index;
        Put16(p + 2, d.adp);
        Put16(p + 4, d.ado);
        const bool more = --laid > 0;
        Put16(p + 6, static_cast<uint16_t>(d.length | (more ? kMoreFollows : 0)));
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
    return end;
}

// Reads the working counters and data of the pending datagrams first..end-1 out of the
// slot's reply. False when a datagram of the reply is not the one sent (the port checked
// the first only): the frame is then nobody's reply.
bool TakeReply(FramePort* port, int slot, PackedDatagram* list, int first, int end) {
    const uint8_t* reply = port->rx_frame[slot];
    const uint8_t* request = port->tx_frame[slot] + kEthernetHeaderBytes;
    int at = 2;
    for (int n = NextPending(list, first, end); n < end; n = NextPending(list, n + 1, end)) {
        const PackedDatagram& d = list[n];
        const uint8_t* got = reply + at;
        const uint8_t* sent = request + at;
        if (got[0] != sent[0] || got[1] != sent[1] || memcmp(got + 4, sent + 4, 4) != 0) return false;
        if (KeepsAddress(d.command) && memcmp(got + 2, sent + 2, 2) != 0) return false;
        at += DatagramBytes(d);
    }
    at = 2;
    for (int n = NextPending(list, first, end); n < end;) {
        PackedDatagram& d = list[n];
        const uint8_t* got = reply + at;
        const int next = NextPending(list, n + 1, end);  // before d stops being pending
        d.result = Get16(got + kDatagramHeaderBytes + d.length);
        if (d.result > 0 && d.in != nullptr && d.length > 0 && CommandReads(d.command))
            memcpy(d.in, got + kDatagramHeaderBytes, d.length);
        at += DatagramBytes(d);
        n = next;
    }
    return true;
}

struct InFlight {
    int slot;
    int first;
    int end;
    TimeStamp sent;
    TimeStamp due;
};

void MarkUnanswered(PackedDatagram* list, int first, int end) {
    for (int n = first; n < end; n++)
        if (Pending(list[n])) list[n].result = NoFrame;
}

bool ListValid(const PackedDatagram* list, int count) {
    if (count < 0 || (count > 0 && list == nullptr)) return false;
    for (int n = 0; n < count; n++)
        if (list[n].length > kMaxDatagramData) return false;
    return true;
}

// One pass over the pending datagrams of the list.
void SendPending(FramePort* port, PackedDatagram* list, int count, uint32_t reply_wait_us, PackedTally* local) {
    int next = NextPending(list, 0, count);
    while (next < count) {
        InFlight flight[kPackedFramesInFlight];
        int frames = 0;
        while (next < count && frames < kPackedFramesInFlight) {
            int slot = PortIsOpen(port) ? PortGetIndexBefore(port, DeadlineAfter(reply_wait_us)) : -1;
            if (slot < 0) break;
            const int end = LayFrame(port, slot, list, next, count);
            PortSendFrame(port, slot);
            const TimeStamp now = ClockNow();
            flight[frames++] = InFlight{slot, next, end, now, TimeStampAdd(now, reply_wait_us)};
            next = NextPending(list, end, count);
            local->frames++;
        }
        if (frames == 0) {
            // No slot came free (or the port is closed): the rest got no reply.
            MarkUnanswered(list, next, count);
            break;
        }
        local->round_trips++;
        for (int f = 0; f < frames; f++) {
            const InFlight& sent = flight[f];
            int result = PortWaitFrame(port, sent.slot, sent.due);
            if (result >= 0 && TakeReply(port, sent.slot, list, sent.first, sent.end)) {
                PortSetBufState(port, sent.slot, EMPTY);
                // An upper bound: the reply may have waited while earlier frames were read.
                const int64_t took = TimeStampMicrosBetween(sent.sent, ClockNow());
                if (took > static_cast<int64_t>(local->slowest_reply_us))
                    local->slowest_reply_us = static_cast<uint32_t>(took);
                continue;
            }
            MarkUnanswered(list, sent.first, sent.end);
            local->frames_lost++;
            PortAbandon(port, sent.slot);
        }
    }
}

void AddTally(PackedTally* tally, const PackedTally& local) {
    if (tally == nullptr) return;
    tally->frames += local.frames;
    tally->round_trips += local.round_trips;
    tally->datagrams += local.datagrams;
    tally->frames_lost += local.frames_lost;
    if (local.slowest_reply_us > tally->slowest_reply_us) tally->slowest_reply_us = local.slowest_reply_us;
}

}  // namespace

int PackedExchange(FramePort* port, PackedDatagram* list, int count, uint32_t reply_wait_us, PackedTally* tally) {
    if (!ListValid(list, count)) return ArgumentError;
    if (reply_wait_us < kShortestWaitUs) reply_wait_us = kShortestWaitUs;
    for (int n = 0; n < count; n++) list[n].result = kPending;
    PackedTally local{};
    SendPending(port, list, count, reply_wait_us, &local);
    local.datagrams = static_cast<uint32_t>(count);
    AddTally(tally, local);
    return static_cast<int>(local.frames);
}

int PackedExchangeUntilAnswered(FramePort* port, PackedDatagram* list, int count, uint32_t reply_wait_us, int sends,
                                PackedTally* tally) {
    if (!ListValid(list, count)) return ArgumentError;
    if (reply_wait_us < kShortestWaitUs) reply_wait_us = kShortestWaitUs;
    for (int n = 0; n < count; n++) list[n].result = kPending;
    PackedTally local{};
    for (int pass = 0; pass < sends; pass++) {
        if (pass > 0) {
            // A reply that did not come may only be late (a loaded machine, a slave line
            // still busy with earlier frames): each pass waits twice as long as the last.
            reply_wait_us = reply_wait_us * 2 < kLongestWaitUs ? reply_wait_us * 2 : kLongestWaitUs;
            bool again = false;
            for (int n = 0; n < count; n++)
                if (list[n].result == NoFrame) {
                    list[n].result = kPending;
                    again = true;
                }
            if (!again) break;
        }
        SendPending(port, list, count, reply_wait_us, &local);
    }
    for (int n = 0; n < count; n++)
        if (Pending(list[n])) list[n].result = NoFrame;
    local.datagrams = static_cast<uint32_t>(count);
    AddTally(tally, local);
    return static_cast<int>(local.frames);
}
