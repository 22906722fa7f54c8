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

// How long a slot that may still get stray replies is passed over by the allocation: far
// longer than any reply can be held up in an adapter or a driver queue.
constexpr uint32_t kSlotRestUs = 100000;

enum BufferState : int32_t {
    EMPTY = 0,
    ALLOC = 1,
    TX = 2,
    RCVD = 3,
    COMPLETE = 4,
};

struct FramePort {
    void* capture;  // open capture handle; null while the port is closed
    uint8_t rx_frame[kSlotCount][kMaxFrameBytes];  // reply per slot, from the EtherCAT header on
    std::atomic<int32_t> rx_state[kSlotCount];  // BufferState per slot; stored without locks by owners
    uint8_t input_frame[kMaxFrameBytes];  // the whole Ethernet frame last read
    uint8_t tx_frame[kSlotCount][kMaxFrameBytes];  // whole Ethernet frame per slot
    int32_t tx_length[kSlotCount];
    int32_t last_index;
    // A slot whose exchange timed out, or needed more than one send, may still get
    // replies to the frames it sent: an identical datagram sent from the same slot later
    // would take such a reply for its own. The slot rests for kSlotRestUs from the end
    // of that exchange: it is not handed out again before.
    TimeStamp rest_since[kSlotCount];
    uint8_t resting[kSlotCount];
    std::mutex allocation_lock;
    std::mutex receive_lock;
};

int PortOpen(FramePort* port, const char* interface_name);
int PortClose(FramePort* port);
bool PortIsOpen(const FramePort* port);
int PortGetIndex(FramePort* port);
void PortSetBufState(FramePort* port, int slot, BufferState state);
int PortSendFrame(FramePort* port, int slot);
int PortReceiveFrame(FramePort* port, int slot);
int PortWaitFrame(FramePort* port, int slot, TimeStamp deadline);
int PortSendReceive(FramePort* port, int slot, int32_t timeout_us);
