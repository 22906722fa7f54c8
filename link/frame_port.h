// The frame port: the master's only path to the wire, with 16 frame slots.
//
// A slot is a transmit buffer, a receive buffer and a state. The slot number is the
// index byte of the datagram sent from it, which is how a reply finds its way back.
#pragma once
#include <cstdint>
#include <atomic>
#include <mutex>

#include "link/clock.h"

enum {
    kSlotCount = 16,
    kMaxFrameBytes = 1518,
    kEthernetHeaderBytes = 14,
};

// Results of the receive path and the services built on it.
enum {
    NoFrame = -1,        // no reply came
    ForeignFrame = -2,   // a frame was read, but it is not the reply for the slot
    ArgumentError = -3,  // the call was refused before anything was sent
};

// The index byte of a datagram is its slot number (low 4 bits) and the slot's generation
// (high 4 bits), which moves on with every exchange the slot carries. A reply is taken
// only with the index byte of the exchange now waiting in its slot: a late or
// duplicated reply to an earlier exchange on the same slot carries another generation.
enum { kSlotGenerations = 16 };

// How long a generation that may still get stray replies is passed over by the
// allocation: far longer than any reply can be held up in an adapter or a driver queue.
constexpr uint32_t kSlotRestUs = 100000;

enum BufferState : int32_t {
    EMPTY = 0,
    ALLOC = 1,
    TX = 2,
    RCVD = 3,
    COMPLETE = 4,
};

// Who may touch what. `slot_lock` guards every slot's state, `last_index`, the rest
// records and the decision to store a reply into a slot: a reply is stored only into a
// slot that is TX (its owner waits for it), and only while that lock is held, so the
// owner of a slot that is COMPLETE, ALLOC or EMPTY reads and writes its buffers alone.
// `receive_lock` lets one caller at a time read the adapter into `input_frame`.
// Opening and closing the port must not run while exchanges are in flight on it (the
// master serialises them).
struct CaptureBackend;

struct FramePort {
    void* capture;  // open capture handle; null while the port is closed
    const CaptureBackend* backend;                 // the back end `capture` came from
    uint8_t rx_frame[kSlotCount][kMaxFrameBytes];  // reply per slot, from the EtherCAT header on
    std::atomic<int32_t> rx_state[kSlotCount];  // BufferState per slot; changed under slot_lock
    uint8_t input_frame[kMaxFrameBytes];  // the whole Ethernet frame last read
    uint8_t tx_frame[kSlotCount][kMaxFrameBytes];  // whole Ethernet frame per slot
    int32_t tx_length[kSlotCount];
    int32_t last_index;
    // The generation of the exchange the slot holds or held last.
    uint8_t generation[kSlotCount];
    // An exchange that timed out, or needed more than one send, may still get replies to
    // the frames it sent. Its generation rests for kSlotRestUs from the end of that
    // exchange: the slot is not handed out with it again before, so such a reply can
    // never answer a later exchange. Bit g of resting[s]: generation g of slot s rests.
    TimeStamp rest_since[kSlotCount][kSlotGenerations];
    uint16_t resting[kSlotCount];
    std::mutex slot_lock;
    std::mutex receive_lock;
};

// Opens the port on an adapter of `backend`. 1 when open; 0 with the adapter's own
// error text in errbuf (kCaptureErrorSize bytes). Prints nothing.
int PortOpenOn(FramePort* port, const CaptureBackend* backend, const char* interface_name, char* errbuf);
// PortOpenOn with the process's capture back end; an adapter that cannot be opened is
// reported: "interface IF could not open with pcap" on standard output, the reason on
// standard error.
int PortOpen(FramePort* port, const char* interface_name);
int PortClose(FramePort* port);
// Moves an open port to another back end that serves the same handles: a wrapper
// around the one it was opened with, as tests and benchmarks put in between.
void PortUseBackend(FramePort* port, const CaptureBackend* backend);
bool PortIsOpen(const FramePort* port);
// Hands out a free slot (now ALLOC) with its next generation that does not rest: the
// first from last_index + 1 on. A slot that is not EMPTY is never handed out. When none
// is free, waits until one is, but not past the deadline: then -1. PortGetIndex waits
// up to a second.
int PortGetIndexBefore(FramePort* port, TimeStamp deadline);
int PortGetIndex(FramePort* port);
void PortSetBufState(FramePort* port, int slot, BufferState state);
// The index byte the slot's frames carry: slot number and generation.
uint8_t PortIndexByte(const FramePort* port, int slot);
// Marks the slot TX and sends its frame, with the slot's index byte. A slot whose reply is already stored (RCVD or
// COMPLETE) is left as it is and nothing is sent: the reply is the answer.
int PortSendFrame(FramePort* port, int slot);
int PortReceiveFrame(FramePort* port, int slot);
int PortWaitFrame(FramePort* port, int slot, TimeStamp deadline);
// Sends, and sends again every 2000 µs, until the slot's reply came or the deadline
// passed (the last wait never runs past it). On failure the slot is EMPTY and rests.
int PortSendReceiveUntil(FramePort* port, int slot, TimeStamp deadline);
int PortSendReceive(FramePort* port, int slot, int32_t timeout_us);
// Gives up the exchange of a slot whose frame got no reply: its generation rests (a
// reply may still come) and the slot is EMPTY. For callers that send with
// PortSendFrame and wait with PortWaitFrame themselves (several frames in flight).
void PortAbandon(FramePort* port, int slot);
