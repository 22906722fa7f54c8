// Mailbox transport through SyncManagers 0 and 1, and the master's error list.
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

int MailboxEmpty(uint16_t slave);
int MailboxSend(uint16_t slave, const MailboxBuffer* message);
int MailboxReceive(uint16_t slave, MailboxBuffer* message, int32_t timeout_us);
uint8_t NextMailboxCounter(uint16_t slave);
void PushError(const ErrorEntry& entry);
void PacketError(uint16_t slave, uint16_t index, uint8_t subindex, uint16_t code);
void SdoAbortError(uint16_t slave, uint16_t index, uint8_t subindex, int32_t abort_code);
