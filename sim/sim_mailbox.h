// SyncManager mailboxes, AL state machine and firmware of a simulated slave.
#pragma once
#include <cstdint>

struct SimSlave;
struct SimSegment;

struct SimMailbox {
    int reserved;
};

// Power-on state: INIT, mailboxes empty.
void SimMailboxPowerOn(SimSlave* slave);
// Returns false when the ESC does not execute the access (read of an empty read
// mailbox, write into a full write mailbox): not counted, nothing transferred.
bool SimMailboxBeforeRead(SimSlave* slave, uint16_t address, uint16_t length);
bool SimMailboxBeforeWrite(SimSlave* slave, uint16_t address, uint16_t length);
void SimMailboxAfterRead(SimSlave* slave, uint16_t address, uint16_t length);
void SimMailboxAfterWrite(SimSlave* slave, uint16_t address, uint16_t length);

// ecsim options of the mailbox and firmware layer; same contract as the EEPROM layer's.
int SimMailboxParseOption(SimSegment* segment, const char* option, const char* value);
const char* SimMailboxOptionHelp();
