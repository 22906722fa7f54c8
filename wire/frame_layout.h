// The layout of an EtherCAT frame, as master and slaves both see it:
//
//   Ethernet header (14 bytes): destination, source, EtherType 0x88A4
//   EtherCAT header (2 bytes):  bits 0-10 length of the datagrams, bits 12-15 type (1)
//   datagram, repeated while "more follows" is set:
//     0 command   1 index   2 address position/station (ADP)   4 address offset (ADO)
//     6 length field: bits 0-10 data length, bit 14 circulated, bit 15 more follows
//     8 interrupt   10 data (length bytes)   then the working counter (2 bytes)
//
// Views over bytes only: what a master or a slave does with a datagram is its own.
#pragma once
#include <cstdint>

#include "wire/byte_order.h"

enum {
    kEthernetHeaderBytes = 14,
    kEtherCatHeaderBytes = 2,
    kDatagramHeaderBytes = 10,
    kWorkingCounterBytes = 2,
    // The first datagram of a frame starts here.
    kFirstDatagramOffset = kEthernetHeaderBytes + kEtherCatHeaderBytes,
    // The smallest frame that carries a datagram: headers, no data, the counter.
    kSingleDatagramOverheadBytes = kFirstDatagramOffset + kDatagramHeaderBytes + kWorkingCounterBytes,
    kMaxDatagramData = 1486,  // a standard Ethernet frame: 1514 bytes less 28 of headers and counter
};

constexpr uint16_t kEtherTypeEtherCat = 0x88A4;
constexpr uint16_t kEtherCatTypeCommands = 1;       // type field of a frame carrying datagrams
constexpr uint16_t kEtherCatLengthMask = 0x07FF;    // EtherCAT header and datagram length fields
constexpr uint16_t kDatagramMoreFollows = 0x8000;   // in the datagram length field

// Offsets inside a datagram, from its command byte.
enum {
    kDatagramCommandAt = 0,
    kDatagramIndexAt = 1,
    kDatagramAdpAt = 2,
    kDatagramAdoAt = 4,
    kDatagramLengthAt = 6,
    kDatagramIrqAt = 8,
    kDatagramDataAt = 10,
};

enum DatagramCommand : uint8_t {
    CMD_NOP = 0, CMD_APRD = 1, CMD_APWR = 2, CMD_APRW = 3, CMD_FPRD = 4, CMD_FPWR = 5, CMD_FPRW = 6,
    CMD_BRD = 7, CMD_BWR = 8, CMD_BRW = 9, CMD_LRD = 10, CMD_LWR = 11, CMD_LRW = 12, CMD_ARMW = 13,
    CMD_FRMW = 14,
};

// Auto-increment commands: every slave raises the address field as the datagram passes.
inline bool CommandIncrementsAddress(uint8_t command) {
    return command == CMD_APRD || command == CMD_APWR || command == CMD_APRW || command == CMD_ARMW;
}
// Configured-address (FPRD, FPWR, FPRW, FRMW) and logical (LRD, LWR, LRW) commands: no
// slave changes the address field on the way.
inline bool CommandKeepsAddress(uint8_t command) {
    return (command >= CMD_FPRD && command <= CMD_FPRW) || (command >= CMD_LRD && command <= CMD_LRW) ||
           command == CMD_FRMW;
}

// The EtherType sits big-endian at bytes 12 and 13, as in every Ethernet frame.
inline bool FrameIsEtherCat(const uint8_t* frame) {
    return frame[12] == static_cast<uint8_t>(kEtherTypeEtherCat >> 8) &&
           frame[13] == static_cast<uint8_t>(kEtherTypeEtherCat);
}
inline void FrameSetEtherType(uint8_t* frame) {
    frame[12] = static_cast<uint8_t>(kEtherTypeEtherCat >> 8);
    frame[13] = static_cast<uint8_t>(kEtherTypeEtherCat);
}
// The EtherCAT header word for `datagram_bytes` bytes of datagrams.
inline uint16_t EtherCatHeaderWord(uint16_t datagram_bytes) {
    return static_cast<uint16_t>((kEtherCatTypeCommands << 12) | (datagram_bytes & kEtherCatLengthMask));
}
// Bytes one datagram takes in a frame: header, data, working counter.
inline int DatagramBytes(uint16_t data_length) {
    return kDatagramHeaderBytes + data_length + kWorkingCounterBytes;
}

// Lays out a datagram header at `at`; data and counter follow it.
inline void DatagramLayHeader(uint8_t* at, uint8_t command, uint8_t index, uint16_t adp, uint16_t ado,
                              uint16_t length, bool more_follows) {
    at[kDatagramCommandAt] = command;
    at[kDatagramIndexAt] = index;
    WireStore16(at + kDatagramAdpAt, adp);
    WireStore16(at + kDatagramAdoAt, ado);
    WireStore16(at + kDatagramLengthAt,
                static_cast<uint16_t>((length & kEtherCatLengthMask) | (more_follows ? kDatagramMoreFollows : 0)));
    WireStore16(at + kDatagramIrqAt, 0);
}
inline uint16_t DatagramDataLength(const uint8_t* at) {
    return WireLoad16(at + kDatagramLengthAt) & kEtherCatLengthMask;
}
inline bool DatagramMoreFollows(const uint8_t* at) {
    return (WireLoad16(at + kDatagramLengthAt) & kDatagramMoreFollows) != 0;
}
