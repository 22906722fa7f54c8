// What the files of the mailbox layer (SyncManagers, firmware, AL state machine) share
// among themselves; not for other layers.
#pragma once
#include <cstdint>

#include "sim/sim_mailbox.h"

struct SimSmView {
    uint16_t start;
    uint16_t length;
    uint8_t control;
};

// A SyncManager that behaves as a mailbox: enabled, mailbox mode, non-empty; its
// registers in `view`.
bool SimSmMailboxActive(const SimSlave* slave, int n, SimSmView* view);
// The SyncManager's buffer is written by the master (else read by it).
bool SimSmMasterWrites(const SimSmView& view);
// Status (full) and PDI control (repeat acknowledge) of SyncManager n from the state.
void SimSmMirror(SimSlave* slave, int n);

// Empties both mailboxes and the answer queue, ends a transfer in progress.
void SimFirmwareClearMailboxes(SimSlave* slave);
// Lazy firmware: takes a waiting request when there is room for its answers, and puts
// the next due answer into an empty read mailbox.
void SimFirmwareTick(SimSlave* slave);
// The master toggled the repeat request of the read mailbox: its last read got lost.
void SimFirmwareServeRepeat(SimSlave* slave);
