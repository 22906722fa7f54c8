#include "link/datagram.h"

#include <cstring>

namespace {

bool CommandSendsZeros(uint8_t command) {
    return command == CMD_NOP || command == CMD_APRD || command == CMD_FPRD || command == CMD_BRD ||
           command == CMD_LRD;
}

// One exchange. The timeout covers all of it: a wait for a free slot (every slot busy
// or resting) counts against it, so a call returns within its timeout plus one pass of
// the receive loop. The reply is copied out while the slot is still this caller's: no
// other caller writes a slot's reply buffer unless the slot waits for a reply (TX).
int Exchange(FramePort* port, uint8_t command, uint16_t adp, uint16_t ado, uint16_t length, const void* out_data,
             void* in_data, int32_t timeout_us) {
    if (length > kMaxDatagramData || timeout_us < 0) return ArgumentError;
    if (!PortIsOpen(port)) return NoFrame;
    const TimeStamp deadline = DeadlineAfterOf(port->clock, static_cast<uint32_t>(timeout_us));
    int slot = PortGetIndexBefore(port, deadline);
    if (slot < 0) return NoFrame;
    SetupDatagram(port, slot, command, static_cast<uint8_t>(slot), adp, ado, length, out_data);
    int wkc = PortSendReceiveUntil(port, slot, deadline);
    if (wkc > 0 && length > 0 && in_data != nullptr)
        memcpy(in_data, port->rx_frame[slot] + kEtherCatHeaderBytes + kDatagramDataAt, length);
    PortSetBufState(port, slot, EMPTY);
    return wkc;
}

int ReadService(FramePort* port, uint8_t command, uint16_t adp, uint16_t ado, uint16_t length, void* data,
                int32_t timeout_us) {
    if (length > 0 && data == nullptr) return ArgumentError;  // nowhere to put the reply
    return Exchange(port, command, adp, ado, length, nullptr, data, timeout_us);
}

int WriteService(FramePort* port, uint8_t command, uint16_t adp, uint16_t ado, uint16_t length, const void* data,
                 int32_t timeout_us) {
    return Exchange(port, command, adp, ado, length, data, nullptr, timeout_us);
}

}  // namespace

int SetupDatagram(FramePort* port, int slot, uint8_t command, uint8_t index, uint16_t adp, uint16_t ado,
                  uint16_t length, const void* data) {
    if (length > kMaxDatagramData) return ArgumentError;
    uint8_t* frame = port->tx_frame[slot];
    WireStore16(frame + kEthernetHeaderBytes, EtherCatHeaderWord(static_cast<uint16_t>(DatagramBytes(length))));
    uint8_t* datagram = frame + kFirstDatagramOffset;
    DatagramLayHeader(datagram, command, index, adp, ado, length, false);
    uint8_t* payload = datagram + kDatagramDataAt;
    if (length > 0) {
        if (CommandSendsZeros(command) || data == nullptr)
            memset(payload, 0, length);
        else
            memcpy(payload, data, length);
    }
    WireStore16(payload + length, 0);  // working counter
    port->tx_length[slot] = kSingleDatagramOverheadBytes + length;
    return 0;
}

int BRD(FramePort* port, uint16_t adp, uint16_t ado, uint16_t length, void* data, int32_t timeout_us) {
    return ReadService(port, CMD_BRD, adp, ado, length, data, timeout_us);
}
int APRD(FramePort* port, uint16_t adp, uint16_t ado, uint16_t length, void* data, int32_t timeout_us) {
    return ReadService(port, CMD_APRD, adp, ado, length, data, timeout_us);
}
int FPRD(FramePort* port, uint16_t adp, uint16_t ado, uint16_t length, void* data, int32_t timeout_us) {
    return ReadService(port, CMD_FPRD, adp, ado, length, data, timeout_us);
}
int BWR(FramePort* port, uint16_t adp, uint16_t ado, uint16_t length, const void* data, int32_t timeout_us) {
    return WriteService(port, CMD_BWR, adp, ado, length, data, timeout_us);
}
int APWR(FramePort* port, uint16_t adp, uint16_t ado, uint16_t length, const void* data, int32_t timeout_us) {
    return WriteService(port, CMD_APWR, adp, ado, length, data, timeout_us);
}
int FPWR(FramePort* port, uint16_t adp, uint16_t ado, uint16_t length, const void* data, int32_t timeout_us) {
    return WriteService(port, CMD_FPWR, adp, ado, length, data, timeout_us);
}
