// EtherCAT datagram services: one datagram in one frame, one complete exchange per call.
#pragma once
#include <cstdint>

#include "link/frame_port.h"
#include "wire/frame_layout.h"  // the frame and datagram layout, command codes, kMaxDatagramData

// Lays one datagram (header, data, a zero working counter) into the slot's frame behind
// its Ethernet header and sets the frame's length. Returns 0, or ArgumentError (nothing
// laid out) for a length above kMaxDatagramData, which would not fit the slot's buffer.
int SetupDatagram(FramePort* port, int slot, uint8_t command, uint8_t index, uint16_t adp, uint16_t ado,
                  uint16_t length, const void* data);

// Each returns the working counter (0 included), NoFrame or ForeignFrame when no reply
// came, or ArgumentError (length above 1486, negative timeout, a read of length above 0
// into a null buffer) with nothing sent. A write with a null buffer sends zeros.
// A service called on a closed port returns NoFrame and touches no slot.
int BRD(FramePort* port, uint16_t adp, uint16_t ado, uint16_t length, void* data, int32_t timeout_us);
int BWR(FramePort* port, uint16_t adp, uint16_t ado, uint16_t length, const void* data, int32_t timeout_us);
int APRD(FramePort* port, uint16_t adp, uint16_t ado, uint16_t length, void* data, int32_t timeout_us);
int APWR(FramePort* port, uint16_t adp, uint16_t ado, uint16_t length, const void* data, int32_t timeout_us);
int FPRD(FramePort* port, uint16_t adp, uint16_t ado, uint16_t length, void* data, int32_t timeout_us);
int FPWR(FramePort* port, uint16_t adp, uint16_t ado, uint16_t length, const void* data, int32_t timeout_us);
