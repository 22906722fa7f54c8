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

// How long a slot whose exchange timed out is passed over by the allocation: far longer
// than any reply can be held up in an adapter or a driver queue.
constexpr uint32_t kAbandonedSlotRestUs = 250000;

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
    // When a slot's exchange was given up (timed out). Its reply may still be on the
    // way, and an identical datagram sent from the same slot would take it for its own:
    // the slot rests until kAbandonedSlotRestUs have passed, while others are free.
    TimeStamp abandoned_at[kSlotCount];
    uint8_t abandoned[kSlotCount];
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
