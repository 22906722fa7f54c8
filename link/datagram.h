// EtherCAT datagram services: one datagram in one frame, one complete exchange per call.
#pragma once
#include <cstdint>

#include "link/frame_port.h"

enum {
    kDatagramHeaderBytes = 10,
    kMaxDatagramData = 1486,  // a standard Ethernet frame: 1514 bytes less 28 of headers and counter
};

enum DatagramCommand : uint8_t {
    CMD_NOP = 0, CMD_APRD = 1, CMD_APWR = 2, CMD_APRW = 3, CMD_FPRD = 4, CMD_FPWR = 5, CMD_FPRW = 6,
    CMD_BRD = 7, CMD_BWR = 8, CMD_BRW = 9, CMD_LRD = 10, CMD_LWR = 11, CMD_LRW = 12, CMD_ARMW = 13,
    CMD_FRMW = 14,
};

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
