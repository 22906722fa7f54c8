// Mailbox transport through SyncManagers 0 and 1, and the master's error list.
//
// A message is written into the slave's write mailbox (SyncManager 0) once that is
// empty, and read out of its read mailbox (SyncManager 1) once that is full. Mailbox
// error replies and CoE emergencies met while waiting for a reply are recorded in the
// error list and the wait goes on.
#pragma once
#include <cstdint>

#include "slave/context.h"
#include "wire/byte_order.h"
#include "wire/esc_registers.h"

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

// Little-endian field access inside a message: the wire's helpers under the names code
// written before them uses.
inline uint16_t MailboxGet16(const uint8_t* p) { return WireLoad16(p); }
inline uint32_t MailboxGet32(const uint8_t* p) { return WireLoad32(p); }
inline void MailboxPut16(uint8_t* p, uint16_t v) { WireStore16(p, v); }
inline void MailboxPut32(uint8_t* p, uint32_t v) { WireStore32(p, v); }

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
