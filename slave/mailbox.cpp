// PENDING: mailbox transport is being written.
#include "slave/mailbox.h"
int MailboxEmpty(uint16_t) { return 0; }
int MailboxSend(uint16_t, const MailboxBuffer*) { return 0; }
int MailboxReceive(uint16_t, MailboxBuffer*, int32_t) { return 0; }
uint8_t NextMailboxCounter(uint16_t) { return 1; }
void PushError(const ErrorEntry&) {}
void PacketError(uint16_t, uint16_t, uint8_t, uint16_t) {}
void SdoAbortError(uint16_t, uint16_t, uint8_t, int32_t) {}
