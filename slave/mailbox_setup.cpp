// Makes every slave with a mailbox ready for SDO traffic after a host program's Init.
//
// The bring-up reads the read-mailbox and protocol words, and computes the mailbox
// SyncManager settings, for slave 1 only; for the other slaves it leaves the read of
// word 0x001A started and unfinished. A host program talks to every slave, so here
// each slave with a mailbox gets its remaining SII words, its two mailbox
// SyncManagers, its EEPROM offered back to its own controller, and PRE-OP, where its
// firmware serves the mailbox: every step for all slaves at once (the SII words on the
// engine, the register writes and state polls packed). The console tool never comes here.
#include <cstring>

#include "link/datagram.h"
#include "slave/bringup.h"
#include "slave/context.h"
#include "slave/eeprom.h"
#include "slave/mailbox.h"
#include "slave/packed_exchange.h"
#include "slave/sii_engine.h"
#include "wire/byte_order.h"
#include "wire/esc_registers.h"
#include "wire/sii_layout.h"

namespace {

constexpr uint8_t kConfigurationToPdi = 0x01;
constexpr uint32_t kSmWriteMailboxFlags = 0x00010026;  // mailbox, master writes, PDI irq; enabled
constexpr uint32_t kSmReadMailboxFlags = 0x00010022;   // mailbox, master reads, PDI irq; enabled
constexpr int32_t kPreOpTimeout = 2000000;
// The EEPROM hand-over is sent at most four times (the attempts of a configuration
// write); the other packed phases take kPackedSends.
constexpr int kEepromHandSends = 4;

bool NeedsMailboxWords(const SlaveRecord& record) { return record.mbx_length > 0 && record.sm_types[1] == 0; }

// A controller's process memory, where mailboxes live, starts here; below are its own
// registers.
constexpr uint16_t kProcessMemoryStart = 0x1000;

// Both mailboxes lie in process memory. A read mailbox word that could not be read
// leaves offset 0: SyncManager 1 set up from it would lie over the registers from
// 0x0000 on, the slave would refuse every read of them (the counting read of the next
// bring-up among them) and a mailbox read would take register contents for a reply.
bool MailboxesInMemory(const SlaveRecord& record) {
    return record.sync_managers[0].start_address >= kProcessMemoryStart &&
           record.sync_managers[1].start_address >= kProcessMemoryStart;
}

// A slave whose mailbox cannot be set up gets none: no SyncManager is written, it stays
// where it is, and its record claims no read mailbox, so nothing is read from the
// registers as if it were one.
void NoMailbox(SlaveRecord* record) {
    record->mbx_read_length = 0;
    memset(record->sm_types, 0, sizeof record->sm_types);
}

void FillSyncManagers(SlaveRecord* record) {
    record->sm_types[0] = 1;
    record->sm_types[1] = 2;
    record->sm_types[2] = 3;
    record->sm_types[3] = 4;
    record->sync_managers[0] = SyncManagerEntry{record->mbx_write_offset, record->mbx_length, kSmWriteMailboxFlags};
    record->sync_managers[1] = SyncManagerEntry{record->mbx_read_offset, record->mbx_read_length, kSmReadMailboxFlags};
}

// SyncManagers 0 and 1 as the 16 bytes of registers 0x0800-0x080F.
void LaySyncManagers(const SlaveRecord& record, uint8_t* image) {
    for (int n = 0; n < 2; n++) {
        const SyncManagerEntry& sm = record.sync_managers[n];
        MailboxPut16(image + 8 * n, sm.start_address);
        MailboxPut16(image + 8 * n + 2, sm.length);
        MailboxPut32(image + 8 * n + 4, sm.flags);
    }
}

// Slaves past INIT run with the SyncManagers whoever took them there set: the mailbox is
// where SyncManagers 0 and 1 say (SII words describe only the default), and nothing is
// written to them. A SyncManager that reads back empty leaves the SII's value. At most
// kSlavesPerRun slaves.
void TakeRunningSyncManagersOfRun(MasterContext* master, const uint16_t* slaves, int count) {
    if (count == 0) return;
    PackedDatagram list[kSlavesPerRun];
    uint8_t images[kSlavesPerRun][16];
    for (int k = 0; k < count; k++) {
        memset(images[k], 0, sizeof images[k]);
        list[k] = PackedDatagram{CMD_FPRD, master->slave_table[slaves[k]].config_address, kRegSyncManager, 16,
                                 nullptr, images[k], 0};
    }
    PackedExchangeUntilAnswered(&master->port, list, count, kPackedReplyWaitUs, kPackedSends, nullptr);
    for (int k = 0; k < count; k++) {
        SlaveRecord& record = master->slave_table[slaves[k]];
        record.mbx_counter = kMailboxCounterRestart;
        if (list[k].result != 1) continue;
        const uint8_t* write_sm = images[k];
        const uint8_t* read_sm = images[k] + kSyncManagerBytes;
        if (WireLoad16(write_sm + 2) == 0 || WireLoad16(read_sm + 2) == 0) continue;
        record.mbx_write_offset = WireLoad16(write_sm);
        record.mbx_length = WireLoad16(write_sm + 2);
        record.mbx_read_offset = WireLoad16(read_sm);
        record.mbx_read_length = WireLoad16(read_sm + 2);
        FillSyncManagers(&record);
    }
}

// Calls `work(slaves, count)` for the listed slaves, at most kSlavesPerRun at a time.
template <typename Work>
void InRuns(const uint16_t* slaves, int count, Work&& work) {
    for (int start = 0; start < count; start += kSlavesPerRun)
        work(slaves + start, count - start < kSlavesPerRun ? count - start : kSlavesPerRun);
}

// The AL status and status code of each listed slave (at most kSlavesPerRun) into its
// record, each frame sent until answered (up to kPackedSends); zeros for a slave that
// never answered, as StateCheck leaves them.
void ReadStatesOfRun(MasterContext* master, const uint16_t* slaves, int count) {
    PackedDatagram list[kSlavesPerRun];
    uint8_t status[kSlavesPerRun][6];
    for (int k = 0; k < count; k++) {
        memset(status[k], 0, sizeof status[k]);
        list[k] = PackedDatagram{CMD_FPRD, master->slave_table[slaves[k]].config_address, kRegAlStatus, 6, nullptr,
                                 status[k], 0};
    }
    PackedExchangeUntilAnswered(&master->port, list, count, kPackedReplyWaitUs, kPackedSends, nullptr);
    for (int k = 0; k < count; k++) {
        SlaveRecord& record = master->slave_table[slaves[k]];
        record.state = WireLoad16(status[k]);
        record.al_status_code = WireLoad16(status[k] + 4);
    }
}

// The read of word 0x001A that the bring-up left started cannot be trusted here: other
// SII reads (the slaves' names) may have used the EEPROM interface since. So the words
// are read afresh, on every slave of first..last (at most kSlavesPerRun) that needs them
// at once.
void ReadMailboxWordsOfRun(MasterContext* master, int first, int last) {
    uint16_t words[kSlavesPerRun][4] = {};
    SiiJob jobs[2 * kSlavesPerRun];
    int used = 0;
    for (int n = first; n <= last; n++) {
        if (!NeedsMailboxWords(master->slave_table[n])) continue;
        const uint16_t slave = static_cast<uint16_t>(n);
        jobs[used++] = SiiJob{slave, kSiiWordReadMailboxOffset, 2, &words[n - first][0], 0, 0, 0};
        jobs[used++] = SiiJob{slave, kSiiWordMailboxProtocols, 1, &words[n - first][2], 0, 0, 0};
    }
    SiiReadMany(master, jobs, used, nullptr);
    for (int j = 0; j < used; j += 2) {
        SlaveRecord& record = master->slave_table[jobs[j].slave];
        uint16_t* mine = words[jobs[j].slave - first];
        // A word that could not be read is 0, as a failed finish gave it.
        if (jobs[j].status != kSiiDone) mine[0] = mine[1] = 0;
        if (jobs[j + 1].status != kSiiDone) mine[2] = 0;
        record.mbx_read_offset = mine[0];
        record.mbx_read_length = mine[1];
        if (record.mbx_read_length == 0) record.mbx_read_length = record.mbx_length;
        record.mbx_protocols = mine[2];
        FillSyncManagers(&record);
    }
}

int PrepareMailboxesWith(MasterContext* master, bool keep_states) {
    const int count = master->slave_count;
    for (int first = 1; first <= count; first += kSlavesPerRun)
        ReadMailboxWordsOfRun(master, first, count - first + 1 < kSlavesPerRun ? count : first + kSlavesPerRun - 1);
    // Then, each for all slaves with a mailbox before the next: SyncManagers, EEPROM
    // back to the slave, PRE-OP requested. Each step is a packed phase of its own, so a
    // datagram sent again never overtakes the step before it. The lists of slaves are
    // the master's work space, sized with its table.
    uint16_t* with_mailbox = master->position_lists;
    int mailboxes = 0;
    for (int n = 1; n <= count; n++)
        if (master->slave_table[n].mbx_length > 0) with_mailbox[mailboxes++] = static_cast<uint16_t>(n);
    if (mailboxes == 0) return 0;
    int running = 0;
    if (keep_states) {
        // One answered read of every mailbox slave's AL status (the records take it);
        // those past INIT are left as they run. A frame lost on the way is sent again:
        // a slave whose state stayed unknown would be left out of the setup.
        InRuns(with_mailbox, mailboxes, [&](const uint16_t* run, int n) { ReadStatesOfRun(master, run, n); });
        uint16_t* past_init = master->position_lists + master->slave_table.capacity;
        int in_init = 0;
        for (int k = 0; k < mailboxes; k++) {
            const uint16_t state = master->slave_table[with_mailbox[k]].state & 0x000F;
            if (state == kAlStateInit)
                with_mailbox[in_init++] = with_mailbox[k];
            else if (state != 0)
                past_init[running++] = with_mailbox[k];
        }
        InRuns(past_init, running, [&](const uint16_t* run, int n) { TakeRunningSyncManagersOfRun(master, run, n); });
        mailboxes = in_init;
        if (mailboxes == 0) return running;
    }
    int usable = 0;
    for (int k = 0; k < mailboxes; k++) {
        SlaveRecord& record = master->slave_table[with_mailbox[k]];
        if (MailboxesInMemory(record))
            with_mailbox[usable++] = with_mailbox[k];
        else
            NoMailbox(&record);
    }
    mailboxes = usable;
    if (mailboxes == 0) return running;
    PackedDatagram list[kSlavesPerRun];
    uint8_t images[kSlavesPerRun][16];
    InRuns(with_mailbox, mailboxes, [&](const uint16_t* run, int n) {
        for (int k = 0; k < n; k++) {
            const SlaveRecord& record = master->slave_table[run[k]];
            LaySyncManagers(record, images[k]);
            list[k] = PackedDatagram{CMD_FPWR, record.config_address, kRegSyncManager, 16, images[k], nullptr, 0};
        }
        PackedExchangeUntilAnswered(&master->port, list, n, kPackedReplyWaitUs, kPackedSends, nullptr);
    });
    static const uint8_t kToPdi = kConfigurationToPdi;
    InRuns(with_mailbox, mailboxes, [&](const uint16_t* run, int n) {
        int handed = 0;
        for (int k = 0; k < n; k++) {
            SlaveRecord& record = master->slave_table[run[k]];
            if (record.eeprom_at_pdi != 0) continue;
            list[handed++] =
                PackedDatagram{CMD_FPWR, record.config_address, kRegEepromConfiguration, 1, &kToPdi, nullptr, 0};
            record.eeprom_at_pdi = 1;
            master->eeprom_reads[run[k]].idle_seen = 0;  // the PDI may use it from now on
        }
        PackedExchangeUntilAnswered(&master->port, list, handed, kPackedReplyWaitUs, kEepromHandSends, nullptr);
    });
    StateRequestAll(master, with_mailbox, mailboxes, kAlStatePreOp);
    // Each slave's firmware takes over its mailboxes.
    return running + StateCheckAll(master, with_mailbox, mailboxes, kAlStatePreOp, kPreOpTimeout);
}

}  // namespace

// Returns the number of slaves with a mailbox that reached PRE-OP.
int PrepareMailboxes(MasterContext* master) { return PrepareMailboxesWith(master, false); }

// As PrepareMailboxes, for slaves in INIT only; slaves past INIT keep their state and
// SyncManagers. Returns the number of slaves with a mailbox ready for SDO traffic.
int PrepareMailboxesKeepingStates(MasterContext* master) { return PrepareMailboxesWith(master, true); }

// A record whose read mailbox words the caller read itself (ec_scan reads every slave's
// mailbox words with its other SII parts): the record is as the setup's own read leaves
// it, and the setup reads them no more. For slaves with a write mailbox (length above 0).
void MailboxWordsRead(SlaveRecord* record, uint16_t read_offset, uint16_t read_length, uint16_t protocols) {
    record->mbx_read_offset = read_offset;
    record->mbx_read_length = read_length != 0 ? read_length : record->mbx_length;
    record->mbx_protocols = protocols;
    FillSyncManagers(record);
}
