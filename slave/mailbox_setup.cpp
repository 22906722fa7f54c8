// Makes every slave with a mailbox ready for SDO traffic after a host program's Init.
//
// The bring-up reads the read-mailbox and protocol words, and computes the mailbox
// SyncManager settings, for slave 1 only; for the other slaves it leaves the read of
// word 0x001A started and unfinished. A host program talks to every slave, so here
// each slave with a mailbox gets its remaining SII words, its two mailbox
// SyncManagers, its EEPROM offered back to its own controller, and PRE-OP, where its
// firmware serves the mailbox. The console tool never comes here.
#include <cstring>

#include "link/datagram.h"
#include "slave/bringup.h"
#include "slave/context.h"
#include "slave/eeprom.h"
#include "slave/mailbox.h"
#include "wire/esc_registers.h"
#include "wire/sii_layout.h"

namespace {

constexpr uint32_t kSmWriteMailboxFlags = 0x00010026;  // mailbox, master writes, PDI irq; enabled
constexpr uint32_t kSmReadMailboxFlags = 0x00010022;   // mailbox, master reads, PDI irq; enabled
constexpr int32_t kRegisterTimeout = 6000;
constexpr int32_t kPreOpTimeout = 2000000;
constexpr int kEepromAttempts = 3;

// Finishes a word read started on the slave; when that finish failed, starts and
// finishes the word afresh, a few times.
uint32_t FinishWord(MasterContext* master, uint16_t slave, uint16_t word_address) {
    uint32_t value = EepromReadFinish(master, slave);
    for (int attempt = 1; attempt < kEepromAttempts && EepromLastFinishFailed(master, slave); attempt++) {
        EepromReadStart(master, slave, word_address);
        value = EepromReadFinish(master, slave);
    }
    return value;
}

bool NeedsMailboxWords(const SlaveRecord& record) { return record.mbx_length > 0 && record.sm_types[1] == 0; }

void FillSyncManagers(SlaveRecord* record) {
    record->sm_types[0] = 1;
    record->sm_types[1] = 2;
    record->sm_types[2] = 3;
    record->sm_types[3] = 4;
    record->sync_managers[0] = SyncManagerEntry{record->mbx_write_offset, record->mbx_length, kSmWriteMailboxFlags};
    record->sync_managers[1] = SyncManagerEntry{record->mbx_read_offset, record->mbx_read_length, kSmReadMailboxFlags};
}

int WriteMailboxSyncManagers(MasterContext* master, const SlaveRecord& record) {
    uint8_t image[16];
    for (int n = 0; n < 2; n++) {
        const SyncManagerEntry& sm = record.sync_managers[n];
        MailboxPut16(image + 8 * n, sm.start_address);
        MailboxPut16(image + 8 * n + 2, sm.length);
        MailboxPut32(image + 8 * n + 4, sm.flags);
    }
    return FPWR(&master->port, record.config_address, kRegSyncManager, sizeof(image), image, kRegisterTimeout);
}

}  // namespace

// Returns the number of slaves with a mailbox that reached PRE-OP.
int PrepareMailboxes(MasterContext* master) {
    const int count = master->slave_count < kMaxSlaves ? master->slave_count : kMaxSlaves;
    // The read of word 0x001A that the bring-up left started cannot be trusted here:
    // other SII reads (the slaves' names) may have used the EEPROM interface since. So
    // the words are read afresh, pipelined: started on every slave that needs them
    // before they are finished on any, so each controller fetches while the others
    // are served.
    for (int n = 1; n <= count; n++)
        if (NeedsMailboxWords(master->slave_table[n]))
            EepromReadStart(master, static_cast<uint16_t>(n), kSiiWordReadMailboxOffset);
    for (int n = 1; n <= count; n++) {
        SlaveRecord& record = master->slave_table[n];
        if (!NeedsMailboxWords(record)) continue;
        const uint16_t slave = static_cast<uint16_t>(n);
        uint32_t value = FinishWord(master, slave, kSiiWordReadMailboxOffset);
        record.mbx_read_offset = static_cast<uint16_t>(value);
        record.mbx_read_length = static_cast<uint16_t>(value >> 16);
        if (record.mbx_read_length == 0) record.mbx_read_length = record.mbx_length;
        EepromReadStart(master, slave, kSiiWordMailboxProtocols);
    }
    // Pass 2: protocols, SyncManagers, EEPROM back to the slave, PRE-OP requested.
    for (int n = 1; n <= count; n++) {
        SlaveRecord& record = master->slave_table[n];
        if (record.mbx_length == 0) continue;
        const uint16_t slave = static_cast<uint16_t>(n);
        if (record.sm_types[1] == 0) {
            record.mbx_protocols = static_cast<uint16_t>(FinishWord(master, slave, kSiiWordMailboxProtocols));
            FillSyncManagers(&record);
        }
        WriteMailboxSyncManagers(master, record);
        EepromToPdi(master, slave);
        const uint8_t pre_op[2] = {kAlStatePreOp, 0};
        FPWR(&master->port, record.config_address, kRegAlControl, 2, pre_op, kRegisterTimeout);
    }
    // Pass 3: wait for each slave's firmware to take over the mailboxes.
    int ready = 0;
    for (int n = 1; n <= count; n++) {
        if (master->slave_table[n].mbx_length == 0) continue;
        if (StateCheck(master, static_cast<uint16_t>(n), kAlStatePreOp, kPreOpTimeout) == kAlStatePreOp) ready++;
    }
    return ready;
}
