#include "link/frame_port.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "link/capture.h"
#include "link/datagram.h"

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

// Command codes whose address field no slave changes on the way: configured-address
// (FPRD 4, FPWR 5, FPRW 6, FRMW 14) and logical (LRD 10, LWR 11, LRW 12) access.
bool KeepsAddress(uint8_t command) {
    return (command >= CMD_FPRD && command <= CMD_FPRW) || (command >= CMD_LRD && command <= CMD_LRW) ||
           command == CMD_FRMW;
}

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
    // The generation: a reply to an earlier exchange of this slot is not this one's.
    if (reply[17] != request[17]) return false;
    // Configured-address and logical commands leave the address field as it was sent: a
    // reply that names another station (the same register of the slave next door, read
    // by another caller) is not this slot's.
    if (KeepsAddress(request[16]) && memcmp(reply + 18, request + 18, 2) != 0) return false;
    *wkc_position = wkc_at;
    return true;
}

// The fast path: a reply another caller stored for `slot` is taken without reading the
// adapter. Returns its working counter, or -1 when none is parked. Under slot_lock.
int CollectParkedReply(FramePort* port, int slot) {
    if (slot < 0 || slot >= kSlotCount || port->rx_state[slot] != RCVD) return -1;
    int wkc_at = ReadLittle16(port->rx_frame[slot]) & 0x0FFF;  // validated when it was stored
    port->rx_state[slot] = COMPLETE;
    return ReadLittle16(port->rx_frame[slot] + wkc_at);
}

}  // namespace

bool PortIsOpen(const FramePort* port) { return port->capture != nullptr; }

int PortOpenOn(FramePort* port, const CaptureBackend* backend, const char* interface_name, char* errbuf) {
    // Opening again without a close must not leak the adapter that is still open.
    PortClose(port);
    port->capture = nullptr;
    port->last_index = 0;
    for (int i = 0; i < kSlotCount; i++) {
        port->rx_state[i] = EMPTY;
        port->resting[i] = 0;
        // The first exchange of each slot after opening carries generation 0: its index
        // byte is the plain slot number.
        port->generation[i] = kSlotGenerations - 1;
    }
    errbuf[0] = '\0';
    void* handle = backend->open(interface_name, errbuf);
    if (handle == nullptr) return 0;
    port->backend = backend;
    port->capture = handle;
    for (int i = 0; i < kSlotCount; i++) {
        LayEthernetHeader(port->tx_frame[i]);
        port->rx_state[i] = EMPTY;
    }
    return 1;
}

int PortOpen(FramePort* port, const char* interface_name) {
    char errbuf[kCaptureErrorSize] = {0};
    if (PortOpenOn(port, CaptureActiveBackend(), interface_name, errbuf) == 1) return 1;
    printf("interface %s could not open with pcap\n", interface_name);
    fflush(stdout);
    // The capture library's own reason, which names what to fix, goes to standard
    // error so that standard output keeps the fixed messages only.
    if (errbuf[0] != '\0') fprintf(stderr, "%s: %s\n", interface_name, errbuf);
    return 0;
}

void PortUseBackend(FramePort* port, const CaptureBackend* backend) {
    std::scoped_lock both(port->slot_lock, port->receive_lock);
    port->backend = backend;
}

int PortClose(FramePort* port) {
    if (port->capture != nullptr) {
        // Take both locks so no caller is inside the adapter while it is closed.
        std::scoped_lock both(port->slot_lock, port->receive_lock);
        port->backend->close(port->capture);
        port->capture = nullptr;
    }
    return 0;
}

namespace {

// The shortest wait for the reply to a frame just sent, whatever the caller's deadline.
constexpr uint32_t kShortestReplyWaitUs = 1000;

// Frames a wait whose deadline passed still reads while they keep coming.
constexpr int kReadsAfterDeadline = 2 * kSlotCount;

// How often an allocation that waits for a free slot looks again.
constexpr uint32_t kRestPollUs = 200;

bool GenerationResting(const FramePort* port, int slot, int generation, TimeStamp now) {
    if ((port->resting[slot] & (1u << generation)) == 0) return false;
    return !TimeStampReached(now, TimeStampAdd(port->rest_since[slot][generation], kSlotRestUs));
}

// The slot's next generation that does not rest, or -1 when all sixteen rest.
int NextGeneration(const FramePort* port, int slot, TimeStamp now) {
    for (int step = 1; step <= kSlotGenerations; step++) {
        int generation = (port->generation[slot] + step) % kSlotGenerations;
        if (!GenerationResting(port, slot, generation, now)) return generation;
    }
    return -1;
}

// The generation of the slot's current exchange rests. Under slot_lock.
void StartRest(FramePort* port, int slot) {
    int generation = port->generation[slot];
    port->rest_since[slot][generation] = ClockNow();
    port->resting[slot] = static_cast<uint16_t>(port->resting[slot] | (1u << generation));
}

}  // namespace

int PortGetIndexBefore(FramePort* port, TimeStamp deadline) {
    for (;;) {
        // The clock is read before the look, so a slot freed in time is never missed.
        const bool passed = DeadlinePassed(deadline);
        {
            std::lock_guard<std::mutex> hold(port->slot_lock);
            int start = port->last_index + 1;
            if (start >= kSlotCount) start = 0;
            TimeStamp now = ClockNow();
            // The first EMPTY slot from last_index + 1 on that has a generation at rest
            // (a generation that may still get stray replies is passed over). A slot in
            // any other state belongs to a caller (or waits for its owner's
            // reply): handing it out would give two exchanges one reply buffer.
            for (int step = 0; step < kSlotCount; step++) {
                int candidate = (start + step) % kSlotCount;
                if (port->rx_state[candidate] != EMPTY) continue;
                int generation = NextGeneration(port, candidate, now);
                if (generation < 0) continue;
                port->generation[candidate] = static_cast<uint8_t>(generation);
                port->resting[candidate] = static_cast<uint16_t>(port->resting[candidate] & ~(1u << generation));
                port->rx_state[candidate] = ALLOC;
                port->last_index = candidate;
                return candidate;
            }
        }
        if (passed) return -1;
        WaitMicroseconds(kRestPollUs);
    }
}

int PortGetIndex(FramePort* port) { return PortGetIndexBefore(port, DeadlineAfter(1000000)); }

uint8_t PortIndexByte(const FramePort* port, int slot) {
    return static_cast<uint8_t>(slot | (port->generation[slot] << 4));
}

void PortSetBufState(FramePort* port, int slot, BufferState state) {
    if (slot < 0 || slot >= kSlotCount) return;
    std::lock_guard<std::mutex> hold(port->slot_lock);
    port->rx_state[slot] = state;
}

int PortSendFrame(FramePort* port, int slot) {
    {
        std::lock_guard<std::mutex> hold(port->slot_lock);
        // A resend must not wipe out a reply another caller stored meanwhile.
        int32_t state = port->rx_state[slot];
        if (state == RCVD || state == COMPLETE) return 0;
        uint16_t source_word = htons(kSourceWord);
        memcpy(port->tx_frame[slot] + 8, &source_word, 2);
        port->tx_frame[slot][17] = PortIndexByte(port, slot);
        // TX before the frame leaves: the reply may come back at once and be stored by
        // another caller, which stores replies only for slots that are TX.
        port->rx_state[slot] = TX;
    }
    return port->capture == nullptr ? NoFrame
                                    : port->backend->send(port->capture, port->tx_frame[slot], port->tx_length[slot]);
}

int PortReceiveFrame(FramePort* port, int slot) {
    {
        std::lock_guard<std::mutex> hold(port->slot_lock);
        int parked = CollectParkedReply(port, slot);
        if (parked >= 0) return parked;
    }
    std::lock_guard<std::mutex> hold_adapter(port->receive_lock);
    if (port->capture == nullptr) return NoFrame;
    // The caller that held the receive lock while we waited for it may have stored our
    // reply. Replies are stored only under this lock, so after this look none is missed.
    {
        std::lock_guard<std::mutex> hold(port->slot_lock);
        int parked = CollectParkedReply(port, slot);
        if (parked >= 0) return parked;
    }
    const uint8_t* data = nullptr;
    int length = 0;
    if (port->backend->next(port->capture, &data, &length) <= 0 || length <= 0) return NoFrame;
    if (length > kMaxFrameBytes) length = kMaxFrameBytes;
    memcpy(port->input_frame, data, static_cast<size_t>(length));

    const uint8_t* frame = port->input_frame;
    if (length < kEthernetHeaderBytes + 4) return ForeignFrame;
    if (frame[12] != 0x88 || frame[13] != 0xA4) return ForeignFrame;
    if (IsOwnFrame(frame)) return ForeignFrame;  // our own request, echoed by the adapter
    int index = frame[17] % kSlotCount;  // the generation is checked with the datagram

    std::lock_guard<std::mutex> hold(port->slot_lock);
    // Only a slot whose owner waits takes a reply. A reply for a slot that is free,
    // resting, being laid out or already answered (a late or duplicated reply) is
    // dropped: stored, it would keep the slot from being handed out, or overwrite the
    // buffer its owner is reading.
    if (port->rx_state[index] != TX) return ForeignFrame;
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
    bool foreign_seen = false;
    int reads_after_deadline = 0;
    for (;;) {
        // The clock is read before the adapter: the last read always comes after the
        // deadline was seen to pass, so a reply that came in time (also one another
        // caller parked for us while this thread was preempted) is never given up.
        bool passed = DeadlinePassed(deadline);
        result = PortReceiveFrame(port, slot);
        if (result >= 0) break;
        if (result == ForeignFrame) foreign_seen = true;
        if (!passed) continue;
        // A thread held up past its deadline may find other frames queued before its
        // reply (duplicates, other callers' replies): it reads on while frames wait,
        // a bounded number, and gives up once the adapter has nothing more.
        if (result != ForeignFrame || ++reads_after_deadline >= kReadsAfterDeadline) break;
    }
    // A wait that read frames, but not the reply, reports a foreign frame.
    if (result == NoFrame && foreign_seen) result = ForeignFrame;
    return result;
}

namespace {

TimeStamp Earlier(TimeStamp a, TimeStamp b) { return TimeStampReached(a, b) ? b : a; }

// Ends an exchange that got no reply: its generation rests (replies to its sends may
// still come) and the slot is free again. A reply stored after the last look is dropped with it.
void AbandonSlot(FramePort* port, int slot) {
    std::lock_guard<std::mutex> hold(port->slot_lock);
    StartRest(port, slot);
    port->rx_state[slot] = EMPTY;
}

}  // namespace

int PortSendReceiveUntil(FramePort* port, int slot, TimeStamp deadline) {
    int result = NoFrame;
    int sends = 0;
    for (;;) {
        PortSendFrame(port, slot);
        sends++;
        // Each try waits 2000 µs, the last one only up to the caller's deadline, but
        // every frame sent gets kShortestReplyWaitUs to come back: a thread the
        // scheduler held up until its deadline had passed still gives its one send a
        // chance (the call then ends within the timeout plus that much).
        const TimeStamp at_least = DeadlineAfter(kShortestReplyWaitUs);
        TimeStamp try_end = Earlier(DeadlineAfter(2000), deadline);
        if (TimeStampReached(at_least, try_end)) try_end = at_least;
        result = PortWaitFrame(port, slot, try_end);
        if (result >= 0) {
            // The frames sent before the one answered may still have replies on the way.
            if (sends > 1) {
                std::lock_guard<std::mutex> hold(port->slot_lock);
                StartRest(port, slot);
            }
            return result;
        }
        if (DeadlinePassed(deadline)) break;
    }
    AbandonSlot(port, slot);
    return result;
}

void PortAbandon(FramePort* port, int slot) {
    if (slot < 0 || slot >= kSlotCount) return;
    AbandonSlot(port, slot);
}

int PortSendReceive(FramePort* port, int slot, int32_t timeout_us) {
    if (timeout_us < 0) {
        PortSetBufState(port, slot, EMPTY);
        return ArgumentError;
    }
    return PortSendReceiveUntil(port, slot, DeadlineAfter(static_cast<uint32_t>(timeout_us)));
}
