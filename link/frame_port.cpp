#include "link/frame_port.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "link/capture.h"

namespace {

constexpr uint16_t kEtherTypeEtherCat = 0x88A4;
constexpr uint16_t kSourceWord = 0x0101;  // every byte of the master's source address is 0x01

// Ethernet header of every frame the master sends: broadcast destination, source
// 01:01:01:01:01:01, EtherType 0x88A4.
void LayEthernetHeader(uint8_t* frame) {
    uint16_t words[7] = {htons(0xFFFF), htons(0xFFFF), htons(0xFFFF),      htons(kSourceWord),
                         htons(kSourceWord), htons(kSourceWord), htons(kEtherTypeEtherCat)};
    memcpy(frame, words, sizeof(words));
}

bool IsOwnFrame(const uint8_t* frame) {
    static const uint8_t own_source[6] = {1, 1, 1, 1, 1, 1};
    return memcmp(frame + 6, own_source, 6) == 0;
}

uint16_t ReadLittle16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// Decides whether the frame in input_frame may be stored as the reply of slot `index`:
// the slot has sent something, the frame holds every byte the slot copies, the working
// counter lies inside that copy, and the datagram is the one the slot sent.
bool FrameFitsSlot(const FramePort* port, int index, int frame_length, int* wkc_position) {
    int32_t request_length = port->tx_length[index];
    if (request_length < kEthernetHeaderBytes + 14) return false;  // slot never sent
    if (frame_length < request_length) return false;               // reply shorter than the request
    int copy_length = request_length - kEthernetHeaderBytes;
    const uint8_t* reply = port->input_frame;
    const uint8_t* request = port->tx_frame[index];
    int wkc_at = ReadLittle16(reply + kEthernetHeaderBytes) & 0x0FFF;
    if (wkc_at + 2 > copy_length) return false;
    // A slave raises the working counter and the position address, and fills read data;
    // it never changes the frame length, the command, the register address or the data
    // length. A frame that does is a stray frame that happens to carry this slot's index,
    // and its counter would be read from the wrong place.
    int request_wkc_at = ReadLittle16(request + kEthernetHeaderBytes) & 0x0FFF;
    if (wkc_at != request_wkc_at) return false;
    if (reply[16] != request[16] || memcmp(reply + 20, request + 20, 4) != 0) return false;
    *wkc_position = wkc_at;
    return true;
}

// The fast path: a reply another caller stored for `slot` is taken without reading the
// adapter. Returns its working counter, or -1 when none is parked.
int CollectParkedReply(FramePort* port, int slot) {
    if (slot < 0 || slot >= kSlotCount || port->rx_state[slot] != RCVD) return -1;
    int wkc_at = ReadLittle16(port->rx_frame[slot]) & 0x0FFF;  // validated when it was stored
    port->rx_state[slot] = COMPLETE;
    return ReadLittle16(port->rx_frame[slot] + wkc_at);
}

}  // namespace

bool PortIsOpen(const FramePort* port) { return port->capture != nullptr; }

int PortOpen(FramePort* port, const char* interface_name) {
    // Opening again without a close must not leak the adapter that is still open.
    PortClose(port);
    port->capture = nullptr;
    port->last_index = 0;
    for (int i = 0; i < kSlotCount; i++) {
        port->rx_state[i] = EMPTY;
        port->resting[i] = 0;
    }
    char errbuf[kCaptureErrorSize] = {0};
    void* handle = CaptureActiveBackend()->open(interface_name, errbuf);
    if (handle == nullptr) {
        printf("interface %s could not open with pcap\n", interface_name);
        return 0;
    }
    port->capture = handle;
    for (int i = 0; i < kSlotCount; i++) {
        LayEthernetHeader(port->tx_frame[i]);
        port->rx_state[i] = EMPTY;
    }
    return 1;
}

int PortClose(FramePort* port) {
    if (port->capture != nullptr) {
        // Take both locks so no caller is inside the adapter while it is closed.
        std::scoped_lock both(port->allocation_lock, port->receive_lock);
        CaptureActiveBackend()->close(port->capture);
        port->capture = nullptr;
    }
    return 0;
}

namespace {

// How often an allocation that waits for a rest to end looks again: a slot may also be
// freed by another caller meanwhile.
constexpr uint32_t kRestPollUs = 200;

bool SlotResting(const FramePort* port, int slot, TimeStamp now) {
    return port->resting[slot] != 0 && !TimeStampReached(now, TimeStampAdd(port->rest_since[slot], kSlotRestUs));
}

void StartRest(FramePort* port, int slot) {
    port->rest_since[slot] = ClockNow();
    port->resting[slot] = 1;
}

bool RestingLonger(const FramePort* port, int a, int b) {
    TimeStamp ta = port->rest_since[a], tb = port->rest_since[b];
    return ta.seconds < tb.seconds || (ta.seconds == tb.seconds && ta.microseconds < tb.microseconds);
}

}  // namespace

int PortGetIndex(FramePort* port) {
    std::lock_guard<std::mutex> hold(port->allocation_lock);
    int start = port->last_index + 1;
    if (start >= kSlotCount) start = 0;
    // The first EMPTY slot from last_index + 1 on, passing over resting slots. When
    // every EMPTY slot rests, the allocation waits for the first rest to end: handing
    // out a slot that may still get a stray reply would let that reply answer the new
    // datagram. With no EMPTY slot at all, last_index + 1 is taken whatever its state.
    for (;;) {
        TimeStamp now = ClockNow();
        int chosen = -1;
        int rested_longest = -1;
        for (int step = 0; step < kSlotCount; step++) {
            int candidate = (start + step) % kSlotCount;
            if (port->rx_state[candidate] != EMPTY) continue;
            if (!SlotResting(port, candidate, now)) {
                chosen = candidate;
                break;
            }
            if (rested_longest < 0 || RestingLonger(port, candidate, rested_longest)) rested_longest = candidate;
        }
        if (chosen < 0 && rested_longest < 0) chosen = start;
        if (chosen >= 0) {
            port->resting[chosen] = 0;
            port->rx_state[chosen] = ALLOC;
            port->last_index = chosen;
            return chosen;
        }
        WaitMicroseconds(kRestPollUs);
    }
}

void PortSetBufState(FramePort* port, int slot, BufferState state) {
    if (slot >= 0 && slot < kSlotCount) port->rx_state[slot] = state;
}

int PortSendFrame(FramePort* port, int slot) {
    uint16_t source_word = htons(kSourceWord);
    memcpy(port->tx_frame[slot] + 8, &source_word, 2);
    // TX before the frame leaves: the reply may come back at once and be parked here by
    // another caller (RCVD), and a TX stored after the send would wipe that out.
    port->rx_state[slot] = TX;
    return port->capture == nullptr
               ? NoFrame
               : CaptureActiveBackend()->send(port->capture, port->tx_frame[slot], port->tx_length[slot]);
}

int PortReceiveFrame(FramePort* port, int slot) {
    int parked = CollectParkedReply(port, slot);
    if (parked >= 0) return parked;
    std::lock_guard<std::mutex> hold(port->receive_lock);
    if (port->capture == nullptr) return NoFrame;
    // The caller that held the lock while we waited for it may have parked our reply.
    // Replies are parked only under this lock, so after this look none can be missed.
    parked = CollectParkedReply(port, slot);
    if (parked >= 0) return parked;
    const uint8_t* data = nullptr;
    int length = 0;
    if (CaptureActiveBackend()->next(port->capture, &data, &length) <= 0 || length <= 0) return NoFrame;
    if (length > kMaxFrameBytes) length = kMaxFrameBytes;
    memcpy(port->input_frame, data, static_cast<size_t>(length));

    const uint8_t* frame = port->input_frame;
    if (length < kEthernetHeaderBytes + 4) return ForeignFrame;
    if (frame[12] != 0x88 || frame[13] != 0xA4) return ForeignFrame;
    if (IsOwnFrame(frame)) return ForeignFrame;  // our own request, echoed by the adapter
    int index = frame[17];
    if (index >= kSlotCount) return ForeignFrame;
    int wkc_at = 0;
    if (!FrameFitsSlot(port, index, length, &wkc_at)) return ForeignFrame;
    int copy_length = port->tx_length[index] - kEthernetHeaderBytes;
    memcpy(port->rx_frame[index], frame + kEthernetHeaderBytes, static_cast<size_t>(copy_length));
    if (index == slot) {
        port->rx_state[slot] = COMPLETE;
        return ReadLittle16(port->rx_frame[slot] + wkc_at);
    }
    port->rx_state[index] = RCVD;
    return ForeignFrame;
}

int PortWaitFrame(FramePort* port, int slot, TimeStamp deadline) {
    int result = NoFrame;
    for (;;) {
        // The clock is read before the adapter: the last read always comes after the
        // deadline was seen to pass, so a reply that came in time (also one another
        // caller parked for us while this thread was preempted) is never given up.
        bool passed = DeadlinePassed(deadline);
        result = PortReceiveFrame(port, slot);
        if (result >= 0 || passed) break;
    }
    return result;
}

int PortSendReceive(FramePort* port, int slot, int32_t timeout_us) {
    if (timeout_us < 0) {
        port->rx_state[slot] = EMPTY;
        return ArgumentError;
    }
    TimeStamp overall = DeadlineAfter(static_cast<uint32_t>(timeout_us));
    int result = NoFrame;
    int sends = 0;
    for (;;) {
        PortSendFrame(port, slot);
        sends++;
        TimeStamp per_try = DeadlineAfter(timeout_us < 2000 ? static_cast<uint32_t>(timeout_us) : 2000u);
        result = PortWaitFrame(port, slot, per_try);
        if (result >= 0) {
            // The frames sent before the one answered may still have replies on the way.
            if (sends > 1) StartRest(port, slot);
            return result;
        }
        if (DeadlinePassed(overall)) break;
    }
    StartRest(port, slot);
    port->rx_state[slot] = EMPTY;
    return result;
}
