// Mailbox transport through SyncManagers 0 and 1, and the master's error list.
//
// A message is written into the slave's write mailbox (SyncManager 0) once that is
// empty, and read out of its read mailbox (SyncManager 1) once that is full. Mailbox
// error replies and CoE emergencies met while waiting for a reply are recorded in the
// error list and the wait goes on.
#pragma once
#include <cstdint>

#include "slave/context.h"

struct MailboxBuffer {
    uint8_t bytes[kMailboxBytes];
};

enum : uint8_t {
    kMailboxTypeError = 0,
    kMailboxTypeCoe = 3,
};

enum : uint16_t {
    kPacketErrorUnexpectedReply = 1,
    kPacketErrorDoesNotFit = 3,
};

enum {
    kMailboxHeaderBytes = 6,  // Length, Address, Channel/Priority, Type/Counter
};

// SyncManager registers of the two mailboxes.
enum : uint16_t {
    kRegSm0Status = 0x0805,      // 1 byte: bit 3 full
    kRegSm1Status = 0x080D,      // 2 bytes: status (bit 3 full) and activate (bit 9 repeat request)
    kRegSm1PdiControl = 0x080F,  // 1 byte: bit 1 repeat acknowledge
};

enum : uint16_t {
    kSmStatusFull = 0x0008,
    kSmRepeatRequest = 0x0200,
    kSmRepeatAck = 0x02,
};

// Fixed waits of the transport (microseconds).
enum : int32_t {
    kMailboxEmptyWait = 20000,
    kMailboxWriteTimeout = 6000,
    kMailboxPollTimeout = 2000,
    kMailboxPollPause = 200,
};

// Little-endian field access inside a message.
inline uint16_t MailboxGet16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t MailboxGet32(const uint8_t* p) {
    return MailboxGet16(p) | (static_cast<uint32_t>(MailboxGet16(p + 2)) << 16);
}
inline void MailboxPut16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void MailboxPut32(uint8_t* p, uint32_t v) {
    MailboxPut16(p, static_cast<uint16_t>(v));
    MailboxPut16(p + 2, static_cast<uint16_t>(v >> 16));
}

// 1 when the write mailbox is empty; 0 when it stayed full, or its status could not be
// read, for 20000 µs.
int MailboxEmpty(MasterContext* master, uint16_t slave);
// Writes the whole write mailbox (mbx_length bytes) from the message once it is empty.
// Working counter of the write, 0 when nothing was written (no usable mailbox, still
// full), or the datagram layer's negative result.
int MailboxSend(MasterContext* master, uint16_t slave, const MailboxBuffer* message);
// Waits up to timeout_us for the reply and reads it (mbx_read_length bytes) into message.
// Working counter of the read that delivered it; 0 when nothing usable came (error
// replies and emergencies are recorded); the last read's negative result otherwise.
int MailboxReceive(MasterContext* master, uint16_t slave, MailboxBuffer* message, int32_t timeout_us);
// Advances the slave's mailbox counter: 1..7, then 1 again. Never 0.
uint8_t NextMailboxCounter(MasterContext* master, uint16_t slave);
// Records an entry; a full list (64 entries) drops its oldest. Sets error_flag.
void PushError(MasterContext* master, const ErrorEntry& entry);
void PacketError(MasterContext* master, uint16_t slave, uint16_t index, uint8_t subindex, uint16_t code);
void SdoAbortError(MasterContext* master, uint16_t slave, uint16_t index, uint8_t subindex, int32_t abort_code);
