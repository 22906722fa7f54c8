// Frames from the wire into the frame port's receive path.
//
// A tiny capture back end hands the port frames cut from the fuzz input: any length from
// 0 to 2000 bytes, any EtherType, index byte and length field, and frames made from a
// slot's own request with a few bytes changed (the near-misses a filter must judge).
// Slots are prepared with requests of chosen commands and lengths, then receive calls
// for chosen slots (some outside 0..15), send-and-receive with timeout 0, waits and
// releases run in the order the input gives.
//
// Input: one byte p (slots to prepare, p % 17), p preparations, then operations until
// the input ends:
//   preparation: command, ADP (2), ADO (2), length (2, % 1487), flags (bit 0: send it)
//   operation byte % 6:
//     0 raw frame: length (2, % 2001), its bytes; then a receive for a chosen slot
//     1 reply-like frame (see BuildReplyLike); then a receive for a chosen slot
//     2 maybe a reply-like frame, then PortSendReceive(slot, 0)
//     3 prepare one more slot
//     4 PortSetBufState(slot, EMPTY)
//     5 PortWaitFrame(slot, deadline 0..255 µs ahead)
#include <cstring>

#include "harness.h"
#include "link/capture.h"
#include "link/datagram.h"
#include "link/frame_port.h"
#include "slave/context.h"
#include "virtual_clock.h"

namespace {

constexpr int kLongestFrame = 2000;
constexpr int kMaxOperations = 256;

struct PendingFrame {
    bool waiting;
    int length;
    uint8_t bytes[kLongestFrame];
};
PendingFrame g_pending;
uint8_t g_delivered[kLongestFrame];
int g_handle;

int ListOne(void (*visit)(void*, const char*, const char*), void* context, char*) {
    visit(context, "fuzz0", "frames from the fuzz input");
    return 0;
}
void* OpenAny(const char*, char*) { return &g_handle; }
int SendNothing(void*, const uint8_t*, int) { return 0; }
int NextPending(void*, const uint8_t** frame, int* length) {
    if (!g_pending.waiting) return 0;
    g_pending.waiting = false;
    memcpy(g_delivered, g_pending.bytes, static_cast<size_t>(g_pending.length));
    *frame = g_delivered;
    *length = g_pending.length;
    return 1;
}
void CloseNothing(void*) {}
const CaptureBackend kFrameFeeder = {"fuzz frames", ListOne, OpenAny, SendNothing, NextPending, CloseNothing};

uint16_t Little16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

void CheckResult(int result) { FUZZ_CHECK(result == NoFrame || result == ForeignFrame || (result >= 0 && result <= 0xFFFF)); }

void CheckSlotStates(const FramePort& port) {
    for (int i = 0; i < kSlotCount; i++) FUZZ_CHECK(port.rx_state[i] >= EMPTY && port.rx_state[i] <= COMPLETE);
}

// A reply accepted for a slot must be read from inside what the slot copied.
void CheckAcceptedReply(const FramePort& port, int slot, int result) {
    FUZZ_CHECK(port.rx_state[slot] == COMPLETE);
    int wkc_at = Little16(port.rx_frame[slot]) & 0x0FFF;
    FUZZ_CHECK(wkc_at + 2 <= port.tx_length[slot] - kEthernetHeaderBytes);
    FUZZ_CHECK(result == Little16(port.rx_frame[slot] + wkc_at));
}

void Prepare(FramePort* port, FuzzReader* in) {
    int slot = PortGetIndex(port);
    if (slot < 0) {
        // Nothing free: a busy slot is never handed out.
        for (int i = 0; i < kSlotCount; i++) FUZZ_CHECK(port->rx_state[i] != EMPTY || port->resting[i] != 0);
        return;
    }
    FUZZ_CHECK(slot < kSlotCount && port->rx_state[slot] == ALLOC);
    uint8_t command = in->Byte();
    uint16_t adp = in->Word();
    uint16_t ado = in->Word();
    uint16_t length = static_cast<uint16_t>(in->Word() % (kMaxDatagramData + 1));
    uint8_t flags = in->Byte();
    uint8_t data[kMaxDatagramData];
    memset(data, 0xA5, sizeof(data));
    SetupDatagram(port, slot, command, static_cast<uint8_t>(slot), adp, ado, length, data);
    FUZZ_CHECK(port->tx_length[slot] == length + 28);
    if (flags & 1) PortSendFrame(port, slot);
}

// A frame that starts as slot s's own request, as a slave would return it (source
// address marked), then gets a length change and up to 7 byte edits. Returns whether
// it was left untouched: such a reply must be accepted.
bool BuildReplyLike(const FramePort& port, FuzzReader* in) {
    int slot = in->Byte() % kSlotCount;
    int base_length = port.tx_length[slot];
    int8_t delta = static_cast<int8_t>(in->Byte());
    int edits = in->Byte() % 8;
    memset(g_pending.bytes, 0, sizeof(g_pending.bytes));
    if (base_length > 0) memcpy(g_pending.bytes, port.tx_frame[slot], static_cast<size_t>(base_length));
    g_pending.bytes[6] |= 0x02;
    int length = base_length + delta;
    if (length < 0) length = 0;
    if (length > kLongestFrame) length = kLongestFrame;
    for (int e = 0; e < edits; e++) {
        int position = length > 0 ? in->Word() % length : 0;
        g_pending.bytes[position] = in->Byte();
    }
    g_pending.length = length;
    g_pending.waiting = true;
    return base_length >= 28 && delta == 0 && edits == 0;
}

int PickSlot(FuzzReader* in) { return in->Byte() % 18 - 1; }  // -1..16: two of them invalid

void Receive(FramePort* port, int slot, bool expect_taken, int frame_index) {
    int before = slot >= 0 && slot < kSlotCount ? port->rx_state[slot].load() : EMPTY;
    int result = PortReceiveFrame(port, slot);
    CheckResult(result);
    if (result >= 0) CheckAcceptedReply(*port, slot, result);
    if (expect_taken && before != RCVD) {
        // An untouched reply to a slot's own request: stored for its slot, and the
        // working counter returned when the call was made for that slot.
        if (frame_index % kSlotCount == slot)
            FUZZ_CHECK(result >= 0);
        else
            FUZZ_CHECK(result == ForeignFrame && port->rx_state[frame_index % kSlotCount] == RCVD);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzResetMaster();
    VirtualClockReset(5999000000ULL);
    g_pending.waiting = false;
    CaptureInstallBackend(&kFrameFeeder);
    FramePort* port = &g_master.port;
    FUZZ_CHECK(PortOpen(port, "fuzz0") == 1);

    FuzzReader in = MakeReader(data, size);
    int prepared = in.Byte() % (kSlotCount + 1);
    for (int i = 0; i < prepared; i++) Prepare(port, &in);
    for (int op = 0; op < kMaxOperations && !in.Empty(); op++) {
        switch (in.Byte() % 6) {
            case 0: {
                g_pending.length = in.Word() % (kLongestFrame + 1);
                memset(g_pending.bytes, 0, sizeof(g_pending.bytes));
                in.Take(g_pending.bytes, static_cast<size_t>(g_pending.length));
                g_pending.waiting = true;
                Receive(port, PickSlot(&in), false, -1);
                break;
            }
            case 1: {
                bool untouched = BuildReplyLike(*port, &in);
                int frame_index = g_pending.bytes[17];
                // Only a slot that waits (TX) takes a reply, and only with the index byte
                // (slot and generation) it sent.
                const int owner = frame_index % kSlotCount;
                untouched = untouched && port->rx_state[owner].load() == TX &&
                            frame_index == PortIndexByte(port, owner);
                Receive(port, PickSlot(&in), untouched, frame_index);
                break;
            }
            case 2: {
                if (in.Byte() & 1) BuildReplyLike(*port, &in);
                int slot = in.Byte() % kSlotCount;
                int result = PortSendReceive(port, slot, 0);
                CheckResult(result);
                if (result >= 0) CheckAcceptedReply(*port, slot, result);
                else FUZZ_CHECK(port->rx_state[slot] == EMPTY);
                break;
            }
            case 3:
                Prepare(port, &in);
                break;
            case 4:
                PortSetBufState(port, in.Byte() % kSlotCount, EMPTY);
                break;
            default: {
                int slot = in.Byte() % kSlotCount;
                int result = PortWaitFrame(port, slot, DeadlineAfter(in.Byte()));
                CheckResult(result);
                if (result >= 0) CheckAcceptedReply(*port, slot, result);
                break;
            }
        }
        CheckSlotStates(*port);
    }
    PortClose(port);
    CaptureInstallBackend(nullptr);
    return 0;
}
