// Network bring-up: the counting read, the controller defaults, station addresses, the
// identity and mailbox words of every slave (read from all EEPROMs at once) and the
// details of slave 1.
#include "slave/bringup.h"

#include <cstdio>
#include <cstring>

#include "link/clock.h"
#include "link/datagram.h"
#include "slave/context.h"
#include "slave/eeprom.h"
#include "slave/packed_exchange.h"
#include "slave/sii_engine.h"
#include "wire/byte_order.h"
#include "wire/esc_registers.h"
#include "wire/sii_layout.h"

namespace {

constexpr int32_t kSetupTimeoutUs = 6000;
constexpr int32_t kCountTimeoutUs = 20000;
constexpr int32_t kPollTimeoutUs = 2000;
constexpr int32_t kInitCheckTimeoutUs = 2000000;
constexpr uint32_t kStatePollGapUs = 1000;
constexpr uint16_t kSiiWordLimit = kSiiCacheBytes / 2;  // the words the legacy SII cache reaches

constexpr uint8_t kAlInitAcknowledge = 0x11;  // INIT with the error acknowledge bit
constexpr uint16_t kAlStatusErrorIndication = 0x0010;
constexpr uint16_t kFeatureDc = 0x0004;

constexpr uint32_t kSmMailboxWrite = 0x00010026;  // mailbox, master writes, PDI interrupt, enabled
constexpr uint32_t kSmMailboxRead = 0x00010022;   // mailbox, master reads, PDI interrupt, enabled

// General category bytes, counted from the length word SiiFind returns.
enum {
    kGeneralCoe = 7,
    kGeneralFoe = 8,
    kGeneralEoe = 9,
    kGeneralSoe = 10,
    kGeneralFlags = 13,
    kGeneralCurrentLow = 14,
    kGeneralCurrentHigh = 15,
};
constexpr uint8_t kGeneralFlagBlockLrw = 0x02;

uint16_t PositionAddress(int slave) { return static_cast<uint16_t>(1 - slave); }

void BroadcastWrite(MasterContext* master, uint16_t reg, uint16_t length, const void* data) {
    BWR(&master->port, 0, reg, length, data, kSetupTimeoutUs);
}

// The slaves a count may describe: the master's bound, within the protocol's.
int SlaveBound(const MasterContext* master) {
    return master->max_slaves > 0 && master->max_slaves <= kProtocolMaxSlaves ? master->max_slaves
                                                                               : kProtocolMaxSlaves;
}

void ResetTables(MasterContext* master) {
    master->slave_count = 0;
    SlaveTableZero(master);
    int groups = master->max_groups > 0 && master->max_groups <= kMaxGroups ? master->max_groups : kMaxGroups;
    for (int g = 0; g < groups; g++) {
        master->group_table[g] = GroupRecord{};
        master->group_table[g].logical_start_address = static_cast<uint32_t>(g) << 16;
    }
    SiiGetByte(master, 0, kSiiCacheBytes);  // switches the cache away from any slave of an earlier run
}

// Phase 1: position-addressed set-up of one slave, then the start of its first EEPROM word.
void AddressSlave(MasterContext* master, int n) {
    SlaveRecord& record = master->slave_table[n];
    uint16_t position = PositionAddress(n);
    uint8_t buffer[2] = {0, 0};
    APRD(&master->port, position, kRegPdiControl, 2, buffer, kSetupTimeoutUs);
    record.interface_type = WireLoad16(buffer);

    uint16_t station = StationAddressFor(n);
    const uint8_t station_bytes[2] = {static_cast<uint8_t>(station), static_cast<uint8_t>(station >> 8)};
    APWR(&master->port, position, kRegStationAddress, 2, station_bytes, kSetupTimeoutUs);
    // Slave 1 discards non-EtherCAT frames, the others pass them on; loops stay automatic.
    const uint8_t dl_control[2] = {static_cast<uint8_t>(n == 1 ? 0x01 : 0x00), 0x00};
    APWR(&master->port, position, kRegDlControl, 2, dl_control, kSetupTimeoutUs);

    buffer[0] = buffer[1] = 0;
    APRD(&master->port, position, kRegStationAddress, 2, buffer, kSetupTimeoutUs);
    record.config_address = WireLoad16(buffer);

    // Both reads start from zero: a read nobody answers gives alias 0 and 4-byte EEPROM
    // reads (the safe assumption: an 8-byte fill of a 4-byte slave would cache zeros).
    buffer[0] = buffer[1] = 0;
    record.alias_address_read =
        FPRD(&master->port, record.config_address, kRegStationAlias, 2, buffer, kSetupTimeoutUs) > 0 ? 1 : 0;
    record.alias_address = WireLoad16(buffer);
    buffer[0] = buffer[1] = 0;
    FPRD(&master->port, record.config_address, kRegEepromControl, 2, buffer, kSetupTimeoutUs);
    record.eeprom_8byte_reads = (WireLoad16(buffer) & kEepromStatusEightByte) ? 1 : 0;

    EepromReadStart(master, static_cast<uint16_t>(n), kSiiWordVendor);
}

// Phase 1 for every slave at once: the same accesses as AddressSlave, each one for all
// slaves packed into as few frames as fit. Each access is a phase of its own (the
// station address is written to all before any is read back), so a datagram sent again
// after a lost frame never overtakes one it depends on. A phase works through the
// slaves in runs of kSlavesPerRun.
void AddressAllSlaves(MasterContext* master, int count) {
    PackedDatagram list[kSlavesPerRun];
    uint8_t bytes[kSlavesPerRun][2];
    uint8_t out[kSlavesPerRun][2];
    // One access for every slave: `fill(n, out)` lays out what a write sends, `take(n,
    // bytes, answered)` takes what a read brought (zeros when unanswered).
    auto phase = [&](uint8_t command, uint16_t reg, bool by_position, auto&& fill, auto&& take) {
        for (int first = 1; first <= count; first += kSlavesPerRun) {
            const int run = count - first + 1 < kSlavesPerRun ? count - first + 1 : kSlavesPerRun;
            for (int k = 0; k < run; k++) {
                const int n = first + k;
                const uint16_t adp = by_position ? PositionAddress(n) : master->slave_table[n].config_address;
                bytes[k][0] = bytes[k][1] = 0;
                const bool write = fill(n, out[k]);
                list[k] = PackedDatagram{command, adp, reg, 2, write ? out[k] : nullptr, bytes[k], 0};
            }
            PackedExchangeUntilAnswered(&master->port, list, run, kPackedReplyWaitUs, kPackedSends, nullptr);
            for (int k = 0; k < run; k++) take(first + k, bytes[k], list[k].result > 0);
        }
    };
    auto read = [](int, uint8_t*) { return false; };
    auto nothing = [](int, const uint8_t*, bool) {};
    phase(CMD_APRD, kRegPdiControl, true, read,
          [&](int n, const uint8_t* b, bool) { master->slave_table[n].interface_type = WireLoad16(b); });
    phase(CMD_APWR, kRegStationAddress, true,
          [](int n, uint8_t* o) {
              WireStore16(o, StationAddressFor(n));
              return true;
          },
          nothing);
    // Slave 1 discards non-EtherCAT frames, the others pass them on; loops stay automatic.
    phase(CMD_APWR, kRegDlControl, true,
          [](int n, uint8_t* o) {
              o[0] = static_cast<uint8_t>(n == 1 ? 0x01 : 0x00);
              o[1] = 0x00;
              return true;
          },
          nothing);
    phase(CMD_APRD, kRegStationAddress, true, read,
          [&](int n, const uint8_t* b, bool) { master->slave_table[n].config_address = WireLoad16(b); });
    // Both reads start from zero: a read nobody answers gives alias 0 and 4-byte EEPROM
    // reads (the safe assumption: an 8-byte fill of a 4-byte slave would cache zeros).
    phase(CMD_FPRD, kRegStationAlias, false, read, [&](int n, const uint8_t* b, bool answered) {
        master->slave_table[n].alias_address = WireLoad16(b);
        master->slave_table[n].alias_address_read = answered ? 1 : 0;
    });
    phase(CMD_FPRD, kRegEepromControl, false, read, [&](int n, const uint8_t* b, bool answered) {
        const uint16_t status = WireLoad16(b);
        master->slave_table[n].eeprom_8byte_reads = (status & kEepromStatusEightByte) ? 1 : 0;
        // An answered status of an idle, clean interface: the SII engine's first read
        // of this slave needs no wait of its own (the master holds the EEPROM by now).
        const bool idle = answered && (status & kEepromStatusBusy) == 0 && (status & kEepromStatusErrorBits) == 0;
        master->eeprom_reads[n].idle_seen = idle && master->slave_table[n].eeprom_at_pdi == 0 ? 1 : 0;
    });
}

// Phase 2 for every slave at once on the SII engine: vendor, product, revision and the
// write mailbox words, one EEPROM command each as the split reads had (a word that
// fails is 0). The engine takes the slaves in runs of kSlavesPerRun.
void ReadIdentitiesOfRun(MasterContext* master, int first, int run) {
    enum { kWordsPerSlave = 8 };
    uint16_t words[kSlavesPerRun][kWordsPerSlave] = {};
    SiiJob jobs[4 * kSlavesPerRun];
    int used = 0;
    for (int k = 0; k < run; k++) {
        const uint16_t slave = static_cast<uint16_t>(first + k);
        jobs[used++] = SiiJob{slave, kSiiWordVendor, 2, &words[k][0], 0, 0, 0};
        jobs[used++] = SiiJob{slave, kSiiWordProduct, 2, &words[k][2], 0, 0, 0};
        jobs[used++] = SiiJob{slave, kSiiWordRevision, 2, &words[k][4], 0, 0, 0};
        jobs[used++] = SiiJob{slave, kSiiWordWriteMailboxOffset, 2, &words[k][6], 0, 0, 0};
    }
    SiiReadManyOnce(master, jobs, used, nullptr);
    for (int k = 0; k < run; k++) {
        SlaveRecord& record = master->slave_table[first + k];
        // A job that failed part way keeps the words it read; a pair is taken whole only.
        auto pair = [&](int job, int at) -> uint32_t {
            if (jobs[4 * k + job].status != kSiiDone) return 0;
            return static_cast<uint32_t>(words[k][at]) | (static_cast<uint32_t>(words[k][at + 1]) << 16);
        };
        record.vendor_id = pair(0, 0);
        record.product_code = pair(1, 2);
        record.revision_no = pair(2, 4);
        const uint32_t mailbox = pair(3, 6);
        record.mbx_write_offset = static_cast<uint16_t>(mailbox);
        record.mbx_length = static_cast<uint16_t>(mailbox >> 16);
    }
}

void ReadAllIdentities(MasterContext* master, int count) {
    for (int first = 1; first <= count; first += kSlavesPerRun)
        ReadIdentitiesOfRun(master, first, count - first + 1 < kSlavesPerRun ? count - first + 1 : kSlavesPerRun);
}

// The split-read orders leave the read of word 0x001A started on every slave with a
// mailbox but slave 1 (its EepromReadFinish gives the word), and so does the parallel
// order: an answered idle status first, old error bits cleared, then the command, for
// all such slaves at once (in runs of kSlavesPerRun slaves, slaves first..last). A
// slave whose command was not acknowledged has no read started (its finish fails, as the
// split read's does).
void StartReadMailboxReadsOfRun(MasterContext* master, int first, int last) {
    PackedDatagram list[kSlavesPerRun];
    uint16_t slaves[kSlavesPerRun];
    uint8_t status[kSlavesPerRun][2];
    static const uint8_t kNoCommand[2] = {0, 0};
    static const uint8_t kReadCommand[6] = {static_cast<uint8_t>(kEepromCommandRead),
                                            static_cast<uint8_t>(kEepromCommandRead >> 8),
                                            static_cast<uint8_t>(kSiiWordReadMailboxOffset), 0, 0, 0};
    int used = 0;
    for (int n = first; n <= last; n++) {
        const SlaveRecord& record = master->slave_table[n];
        if (record.mbx_length == 0) continue;
        master->eeprom_reads[n].idle_seen = 0;  // a read is started below: the engine waits again
        status[used][0] = status[used][1] = 0;
        slaves[used] = static_cast<uint16_t>(n);
        list[used] = PackedDatagram{CMD_FPRD, record.config_address, kRegEepromControl, 2, nullptr, status[used], 0};
        used++;
    }
    if (used == 0) return;
    PackedExchangeUntilAnswered(&master->port, list, used, kPackedReplyWaitUs, kPackedSends, nullptr);
    int idle = 0;
    int with_errors = 0;
    for (int k = 0; k < used; k++) {
        const uint16_t word = WireLoad16(status[k]);
        if (list[k].result <= 0 || (word & kEepromStatusBusy) != 0) continue;
        if (word & kEepromStatusErrorBits) with_errors++;
        slaves[idle] = slaves[k];
        status[idle][0] = status[k][0];
        status[idle][1] = status[k][1];
        idle++;
    }
    if (with_errors > 0) {
        int clears = 0;
        for (int k = 0; k < idle; k++)
            if (WireLoad16(status[k]) & kEepromStatusErrorBits)
                list[clears++] = PackedDatagram{CMD_FPWR, master->slave_table[slaves[k]].config_address,
                                                kRegEepromControl, 2, kNoCommand, nullptr, 0};
        PackedExchangeUntilAnswered(&master->port, list, clears, kPackedReplyWaitUs, kPackedSends, nullptr);
    }
    for (int k = 0; k < idle; k++)
        list[k] = PackedDatagram{CMD_FPWR, master->slave_table[slaves[k]].config_address, kRegEepromControl,
                                 sizeof kReadCommand, kReadCommand, nullptr, 0};
    PackedExchangeUntilAnswered(&master->port, list, idle, kPackedReplyWaitUs, kPackedSends + 1, nullptr);
    for (int k = 0; k < idle; k++) master->eeprom_reads[slaves[k]].read_issued = list[k].result > 0 ? 1 : 0;
}

void StartReadMailboxReads(MasterContext* master, int count) {
    for (int first = 2; first <= count; first += kSlavesPerRun) {
        const int last = count - first + 1 < kSlavesPerRun ? count : first + kSlavesPerRun - 1;
        StartReadMailboxReadsOfRun(master, first, last);
    }
}

// Phase 2, one step for one slave: finish the word started before, start the next.
void ReadIdentityStep(MasterContext* master, int n, int step) {
    uint16_t slave = static_cast<uint16_t>(n);
    SlaveRecord& record = master->slave_table[n];
    switch (step) {
        case 0:
            record.vendor_id = EepromReadFinish(master, slave);
            EepromReadStart(master, slave, kSiiWordProduct);
            break;
        case 1:
            record.product_code = EepromReadFinish(master, slave);
            EepromReadStart(master, slave, kSiiWordRevision);
            break;
        case 2:
            record.revision_no = EepromReadFinish(master, slave);
            EepromReadStart(master, slave, kSiiWordWriteMailboxOffset);
            break;
        default: {
            uint32_t words = EepromReadFinish(master, slave);
            record.mbx_write_offset = static_cast<uint16_t>(words);
            record.mbx_length = static_cast<uint16_t>(words >> 16);
            if (record.mbx_length > 0) EepromReadStart(master, slave, kSiiWordReadMailboxOffset);
            break;
        }
    }
}

constexpr int kIdentitySteps = 4;

void ReadIdentities(MasterContext* master, int count, EepromReadOrder order) {
    if (order == EepromReadOrder::kPipelined) {
        // Each step runs over all slaves: while the master deals with the others, every
        // slave's controller fetches its word from its EEPROM.
        for (int step = 0; step < kIdentitySteps; step++)
            for (int n = 1; n <= count; n++) ReadIdentityStep(master, n, step);
    } else {
        for (int n = 1; n <= count; n++)
            for (int step = 0; step < kIdentitySteps; step++) ReadIdentityStep(master, n, step);
    }
}

// Slave 1's words on the SII engine, as the byte cache gives them: words from 2048 on
// (bytes 4096 on) read as 0xFFFF without a read; `read` says which words were read (a
// word that could not be read stays as it was and is marked unread).
struct FirstSlaveWords {
    uint16_t first;
    uint16_t count;
    uint16_t words[24];
    bool read[24];
};

void ReadFirstSlaveWords(MasterContext* master, FirstSlaveWords* ranges, int count) {
    SiiJob jobs[4];
    int owner[4];
    int used = 0;
    for (int r = 0; r < count; r++) {
        FirstSlaveWords& range = ranges[r];
        for (int k = 0; k < range.count; k++) {
            range.words[k] = range.first + k < kSiiWordLimit ? 0 : 0xFFFF;
            range.read[k] = range.first + k >= kSiiWordLimit;
        }
        const uint16_t inside = range.first >= kSiiWordLimit                 ? 0
                                : range.first + range.count > kSiiWordLimit ? kSiiWordLimit - range.first
                                                                              : range.count;
        if (inside == 0) continue;
        jobs[used] = SiiJob{1, range.first, inside, range.words, 0, 0, 0};
        owner[used++] = r;
    }
    SiiReadMany(master, jobs, used, nullptr);
    // A job that failed part way kept the words before the one that failed.
    for (int j = 0; j < used; j++)
        for (int k = 0; k < jobs[j].words_done; k++) ranges[owner[j]].read[k] = true;
}

// The category walk of the byte cache for two types at once on slave 1: the byte
// address of each type's length word, or 0 when the chain ended first, a word on the
// way could not be read, or a length led back (positions are 16-bit byte addresses, as
// the cache walk counts them). Each type's result is the one its own walk gives, since
// that walk is a prefix of this one.
void WalkFirstSlave(MasterContext* master, const uint16_t* wanted, uint16_t* found, int types) {
    int open = types;
    for (int t = 0; t < types; t++) found[t] = 0;
    FirstSlaveWords header{};
    uint16_t position = 0x80;  // the type word of the first category
    for (;;) {
        // Type and length word of the header in one read.
        header.first = static_cast<uint16_t>(position / 2);
        header.count = 2;
        ReadFirstSlaveWords(master, &header, 1);
        if (!header.read[0]) return;
        const uint16_t type = header.words[0];
        position = static_cast<uint16_t>(position + 2);
        for (int t = 0; t < types; t++)
            if (found[t] == 0 && type == wanted[t]) {
                found[t] = position;
                open--;
            }
        if (open == 0 || type == kSiiCategoryEnd) return;
        if (!header.read[1]) return;
        const uint16_t next = static_cast<uint16_t>(position + 2 + 2 * header.words[1]);
        if (next <= position) return;
        position = next;
    }
}

// The general category's details of slave 1, from the bytes `at + k` (`at` the byte
// address of the category's length word); a byte that could not be read counts as 0.
void TakeGeneralCategory(MasterContext* master, SlaveRecord& record, const FirstSlaveWords& bytes_of, uint16_t at) {
    auto byte = [&](int k) -> uint8_t {
        const uint16_t address = static_cast<uint16_t>(at + k);
        const int index = address / 2 - bytes_of.first;
        if (address >= kSiiCacheBytes) return 0xFF;
        if (index < 0 || index >= bytes_of.count || !bytes_of.read[index]) return 0;
        return static_cast<uint8_t>(address & 1 ? bytes_of.words[index] >> 8 : bytes_of.words[index]);
    };
    record.coe_details = byte(kGeneralCoe);
    record.foe_details = byte(kGeneralFoe);
    record.eoe_details = byte(kGeneralEoe);
    record.soe_details = byte(kGeneralSoe);
    SlaveRecord& aggregate = master->slave_table[0];
    if (byte(kGeneralFlags) & kGeneralFlagBlockLrw) {
        record.block_lrw = 1;
        aggregate.block_lrw++;
    }
    record.ebus_current = static_cast<int16_t>(byte(kGeneralCurrentLow) | (byte(kGeneralCurrentHigh) << 8));
    aggregate.ebus_current = static_cast<int16_t>(static_cast<uint16_t>(aggregate.ebus_current) +
                                                  static_cast<uint16_t>(record.ebus_current));
}

// Slave 1's general category and name on the SII engine: one walk for both categories,
// then the general bytes with the name's count and length, then the name's text. The
// results are the byte cache's (bytes past 4096 are 0xFF, an unread general byte is 0,
// a strings category without string 1 gives the name "", a name byte that cannot be read
// gives the vendor/product name), in a round trip per header or read instead of several
// per four bytes.
void ReadFirstSlaveCategories(MasterContext* master, SlaveRecord& record) {
    const uint16_t wanted[2] = {kSiiCategoryGeneral, kSiiCategoryStrings};
    uint16_t found[2] = {0, 0};
    WalkFirstSlave(master, wanted, found, 2);
    const uint16_t general = found[0];
    const uint16_t strings = found[1];
    FirstSlaveWords ranges[2]{};
    int count = 0;
    if (general != 0) {
        ranges[count].first = static_cast<uint16_t>((general + kGeneralCoe) / 2);
        ranges[count].count = static_cast<uint16_t>((general + kGeneralCurrentHigh) / 2 - ranges[count].first + 1);
        count++;
    }
    const int head = count;
    if (strings != 0) {
        ranges[count].first = static_cast<uint16_t>((strings + 2) / 2);  // string count, then string 1's length
        ranges[count].count = 1;
        count++;
    }
    ReadFirstSlaveWords(master, ranges, count);
    if (general != 0) TakeGeneralCategory(master, record, ranges[0], general);
    bool named = false;
    if (strings != 0 && ranges[head].read[0]) {
        const uint8_t strings_count = static_cast<uint8_t>(ranges[head].words[0]);
        const uint8_t length = static_cast<uint8_t>(ranges[head].words[0] >> 8);
        if (strings_count == 0) {
            record.name[0] = '\0';
            named = true;
        } else {
            const int kept = length < kSiiNameChars ? static_cast<int>(length) : static_cast<int>(kSiiNameChars);
            FirstSlaveWords text{};
            text.first = static_cast<uint16_t>((strings + 4) / 2);
            text.count = static_cast<uint16_t>((kept + 1) / 2);
            if (kept > 0) ReadFirstSlaveWords(master, &text, 1);
            named = true;
            char name[kSiiNameChars + 1];
            for (int c = 0; c < kept; c++) {
                if (!text.read[c / 2]) named = false;
                name[c] = static_cast<char>(c % 2 == 0 ? text.words[c / 2] & 0xFF : text.words[c / 2] >> 8);
            }
            name[kept] = '\0';
            if (named) memcpy(record.name, name, static_cast<size_t>(kept) + 1);
        }
    }
    // A strings category that cannot be read gets the fallback name too, rather than
    // an empty one.
    if (!named) snprintf(record.name, sizeof(record.name), "? M:%8.8x I:%8.8x", record.vendor_id, record.product_code);
}

// Phase 3: the details of slave 1. With `started_reads` the read of word 0x001A was
// started by phase 2 and is finished here (the split-read orders); else the read
// mailbox and protocol words are read on the engine.
// With kRegistersOnly (the scan that keeps states) only the registers and the state are
// read: that scan reads the mailbox words and the name of every slave, slave 1 among
// them, in the same rounds, and no caller of it uses the general category's details.
enum class FirstSlave { kWhole, kRegistersOnly };

void DescribeFirstSlave(MasterContext* master, bool started_reads, bool wait_for_init = true,
                        FirstSlave what = FirstSlave::kWhole) {
    SlaveRecord& record = master->slave_table[1];
    uint16_t address = record.config_address;
    uint16_t mailbox_words[4] = {0, 0, 0, 0};
    const bool whole = what == FirstSlave::kWhole;
    if (whole && record.mbx_length > 0 && !started_reads) {
        SiiJob jobs[2] = {{1, kSiiWordReadMailboxOffset, 2, &mailbox_words[0], 0, 0, 0},
                          {1, kSiiWordMailboxProtocols, 1, &mailbox_words[2], 0, 0, 0}};
        SiiReadManyOnce(master, jobs, 2, nullptr);
        if (jobs[0].status != kSiiDone) mailbox_words[0] = mailbox_words[1] = 0;
        if (jobs[1].status != kSiiDone) mailbox_words[2] = 0;
    }
    if (whole && record.mbx_length > 0) {
        uint32_t words = started_reads ? EepromReadFinish(master, 1)
                                       : (mailbox_words[0] | (static_cast<uint32_t>(mailbox_words[1]) << 16));
        record.mbx_read_offset = static_cast<uint16_t>(words);
        record.mbx_read_length = static_cast<uint16_t>(words >> 16);
        if (record.mbx_read_length == 0) record.mbx_read_length = record.mbx_length;
        if (started_reads) EepromReadStart(master, 1, kSiiWordMailboxProtocols);
    }
    // Features, DL status, port descriptor and AL status in one frame (sent again while
    // lost); a read nobody answered leaves zeros, as a single unanswered read did.
    uint8_t features[2] = {0, 0}, dl_status[2] = {0, 0}, ports[2] = {0, 0}, al_status[6] = {0};
    PackedDatagram reads[] = {
        {CMD_FPRD, address, kRegFeatures, 2, nullptr, features, 0},
        {CMD_FPRD, address, kRegDlStatus, 2, nullptr, dl_status, 0},
        {CMD_FPRD, address, kRegPortDescriptor, 2, nullptr, ports, 0},
        {CMD_FPRD, address, kRegAlStatus, 6, nullptr, al_status, 0},
    };
    PackedExchangeUntilAnswered(&master->port, reads, 4, kPackedReplyWaitUs, kPackedSends, nullptr);
    record.has_dc = (WireLoad16(features) & kFeatureDc) ? 1 : 0;
    DecodeDlStatus(WireLoad16(dl_status), &record.topology, &record.active_ports);
    record.port_type = ports[0];

    // The AL status read is StateCheck's first poll: when it was answered and shows INIT,
    // or nobody waits for INIT, it is the result; else StateCheck polls on.
    const bool in_init = (WireLoad16(al_status) & 0x000F) == kAlStateInit;
    if (reads[3].result > 0 && (in_init || !wait_for_init)) {
        record.state = WireLoad16(al_status);
        record.al_status_code = WireLoad16(al_status + 4);
    } else {
        StateCheck(master, 1, kAlStateInit, wait_for_init ? kInitCheckTimeoutUs : 0);
    }
    if (!whole) return;

    if (record.mbx_length > 0) {
        record.sm_types[0] = 1;
        record.sm_types[1] = 2;
        record.sm_types[2] = 3;
        record.sm_types[3] = 4;
        record.sync_managers[0] = SyncManagerEntry{record.mbx_write_offset, record.mbx_length, kSmMailboxWrite};
        record.sync_managers[1] = SyncManagerEntry{record.mbx_read_offset, record.mbx_read_length, kSmMailboxRead};
        record.mbx_protocols = started_reads ? static_cast<uint16_t>(EepromReadFinish(master, 1)) : mailbox_words[2];
    }

    ReadFirstSlaveCategories(master, record);
}

}  // namespace

uint16_t StationAddressFor(int position) {
    // 0x1001..0xFFFF for positions 1..61439, then the addresses below 0x1001 not taken
    // yet, 0x0001..0x1000, for positions 61440..65535.
    if (position <= kLastPlainPosition) return static_cast<uint16_t>(kFirstStationAddress + position);
    return static_cast<uint16_t>(position - kLastPlainPosition);
}

void DecodeDlStatus(uint16_t dl_status, uint8_t* topology, uint8_t* active_ports) {
    *topology = 0;
    *active_ports = 0;
    for (int port = 0; port < 4; port++) {
        uint16_t loop_closed = static_cast<uint16_t>(0x0100 << (2 * port));
        uint16_t communication = static_cast<uint16_t>(0x0200 << (2 * port));
        if ((dl_status & (loop_closed | communication)) == communication) {
            (*topology)++;
            *active_ports = static_cast<uint8_t>(*active_ports | (1 << port));
        }
    }
}

namespace {

// Counts the slaves with a broadcast read of the type register and makes room in the
// table for as many as the master describes. Returns the read's working counter, or
// kBringupNoMemory (slave count 0) when the room could not be had.
int CountSlaves(MasterContext* master) {
    uint8_t type[2] = {0, 0};
    const int wkc = BRD(&master->port, 0, kRegType, 2, type, kCountTimeoutUs);
    if (wkc > 0) {
        const int bound = SlaveBound(master);
        const int count = wkc > bound ? bound : wkc;
        if (!SlaveStorageReserve(master, count)) return kBringupNoMemory;
        master->slave_count = count;
    }
    return wkc;
}

}  // namespace

int DetectSlaves(MasterContext* master) {
    const uint8_t alias_off = 0x00;
    BroadcastWrite(master, kRegDlControlAlias, 1, &alias_off);
    BroadcastWrite(master, kRegAlControl, 1, &kAlInitAcknowledge);
    BroadcastWrite(master, kRegAlControl, 1, &kAlInitAcknowledge);
    return CountSlaves(master);
}

void SetSlavesToDefault(MasterContext* master) {
    static const uint8_t kZeros[64] = {0};
    static const uint8_t kEventMask[2] = {0x04, 0x00};
    static const uint8_t kSpeedCounterStart[2] = {0x00, 0x10};
    static const uint8_t kFilterDepths[2] = {0x00, 0x0C};
    static const uint8_t kInitAcknowledge = kAlInitAcknowledge;
    static const uint8_t kEepromForceMaster = 0x02;
    // Every write in one frame: each slave executes them in this order, as it did one
    // frame after the other, and a line of 199 slaves costs one round trip, not twelve.
    PackedDatagram list[] = {
        {CMD_BWR, 0, kRegDlControlLoops, 1, kZeros, nullptr, 0},
        {CMD_BWR, 0, kRegEventMask, 2, kEventMask, nullptr, 0},
        {CMD_BWR, 0, kRegRxErrorCounters, 8, kZeros, nullptr, 0},
        {CMD_BWR, 0, kRegFmmu, 48, kZeros, nullptr, 0},
        {CMD_BWR, 0, kRegSyncManager, 32, kZeros, nullptr, 0},
        {CMD_BWR, 0, kRegDcSystemTime, 4, kZeros, nullptr, 0},
        {CMD_BWR, 0, kRegDcSpeedCounterStart, 2, kSpeedCounterStart, nullptr, 0},
        {CMD_BWR, 0, kRegDcFilterDepths, 2, kFilterDepths, nullptr, 0},
        {CMD_BWR, 0, kRegDlControlAlias, 1, kZeros, nullptr, 0},
        {CMD_BWR, 0, kRegAlControl, 1, &kInitAcknowledge, nullptr, 0},
        {CMD_BWR, 0, kRegEepromConfiguration, 1, &kEepromForceMaster, nullptr, 0},
        {CMD_BWR, 0, kRegEepromConfiguration, 1, kZeros, nullptr, 0},
    };
    PackedExchangeUntilAnswered(&master->port, list, static_cast<int>(sizeof list / sizeof list[0]),
                                kPackedReplyWaitUs, kPackedSends, nullptr);
}

uint16_t StateCheck(MasterContext* master, uint16_t slave, uint16_t requested_state, int32_t timeout_us) {
    if (slave < 1 || slave > master->slave_count) return 0;
    if (timeout_us < 0) timeout_us = 0;
    SlaveRecord& record = master->slave_table[slave];
    TimeStamp deadline = DeadlineAfterOf(master->port.clock, static_cast<uint32_t>(timeout_us));
    uint16_t al_status = 0;
    for (;;) {
        uint8_t buffer[6] = {0};
        FPRD(&master->port, record.config_address, kRegAlStatus, sizeof(buffer), buffer, kPollTimeoutUs);
        al_status = WireLoad16(buffer);
        record.al_status_code = WireLoad16(buffer + 4);
        if ((al_status & 0x000F) == requested_state) break;
        WaitMicrosecondsOf(master->port.clock, kStatePollGapUs);
        if (DeadlinePassedOf(master->port.clock, deadline)) break;
    }
    record.state = al_status;
    return static_cast<uint16_t>(al_status & 0x000F);
}

namespace {

// NameSlaves for the slaves first..last (at most kSlavesPerRun of them).
void NameSlavesOfRun(MasterContext* master, int first, int last) {
    SiiCategorySearch searches[kSlavesPerRun];
    int found = 0;
    for (int n = first; n <= last; n++)
        if (master->slave_table[n].name[0] == '\0')
            searches[found++] = SiiCategorySearch{static_cast<uint16_t>(n), kSiiCategoryStrings, kSiiWordLimit, 0, 0, 0};
    if (found == 0) return;
    SiiFindCategoryMany(master, searches, found, nullptr);
    // String 1: its count and length word, then its text (at most 40 characters). Words
    // past the cache's 4096 bytes read as 0xFF, as the cache gives them.
    enum { kTextWords = (kSiiNameChars + 1) / 2 };
    uint16_t head[kSlavesPerRun];
    uint16_t text[kSlavesPerRun][kTextWords];
    SiiJob jobs[kSlavesPerRun];
    int owner[kSlavesPerRun];
    int used = 0;
    for (int k = 0; k < found; k++) {
        const SiiCategorySearch& search = searches[k];
        if (search.status != kSiiDone || search.data_word == 0) continue;
        head[k] = 0xFFFF;
        if (search.data_word >= kSiiWordLimit) continue;  // no read needed: all 0xFF
        jobs[used] = SiiJob{search.slave, static_cast<uint16_t>(search.data_word), 1, &head[k], 0, 0, 0};
        owner[used++] = k;
    }
    SiiReadMany(master, jobs, used, nullptr);
    bool head_read[kSlavesPerRun] = {};
    for (int k = 0; k < found; k++)
        head_read[k] = searches[k].status == kSiiDone && searches[k].data_word >= kSiiWordLimit;
    for (int j = 0; j < used; j++) head_read[owner[j]] = jobs[j].status == kSiiDone;
    used = 0;
    int kept[kSlavesPerRun] = {};
    for (int k = 0; k < found; k++) {
        if (!head_read[k] || (head[k] & 0xFF) == 0) continue;
        kept[k] = (head[k] >> 8) < kSiiNameChars ? (head[k] >> 8) : kSiiNameChars;
        for (uint16_t& w : text[k]) w = 0xFFFF;
        const uint32_t start = searches[k].data_word + 1;
        uint32_t words = static_cast<uint32_t>(kept[k] + 1) / 2;
        if (start >= kSiiWordLimit) words = 0;
        else if (start + words > kSiiWordLimit) words = kSiiWordLimit - start;
        jobs[used] = SiiJob{searches[k].slave, static_cast<uint16_t>(start), static_cast<uint16_t>(words), text[k], 0, 0, 0};
        owner[used++] = k;
    }
    SiiReadMany(master, jobs, used, nullptr);
    for (int j = 0; j < used; j++) {
        if (jobs[j].status != kSiiDone) continue;  // unread: the fallback below
        const int k = owner[j];
        char* name = master->slave_table[searches[k].slave].name;
        for (int c = 0; c < kept[k]; c++)
            name[c] = static_cast<char>(c % 2 == 0 ? text[k][c / 2] & 0xFF : text[k][c / 2] >> 8);
        name[kept[k]] = '\0';
    }
    for (int k = 0; k < found; k++) {
        SlaveRecord& record = master->slave_table[searches[k].slave];
        if (record.name[0] == '\0')
            snprintf(record.name, sizeof(record.name), "? M:%8.8x I:%8.8x", record.vendor_id, record.product_code);
    }
}

}  // namespace

void NameSlaves(MasterContext* master, int first) {
    const int count = master->slave_count;
    for (int from = first < 1 ? 1 : first; from <= count; from += kSlavesPerRun)
        NameSlavesOfRun(master, from, count - from + 1 < kSlavesPerRun ? count : from + kSlavesPerRun - 1);
}

void StateRequestAll(MasterContext* master, const uint16_t* slaves, int count, uint16_t requested_state,
                     int32_t* written) {
    PackedDatagram list[kSlavesPerRun];
    const uint8_t request[2] = {static_cast<uint8_t>(requested_state), static_cast<uint8_t>(requested_state >> 8)};
    for (int start = 0; start < count; start += kSlavesPerRun) {
        int used = 0;
        for (int k = start; k < count && used < kSlavesPerRun; k++)
            list[used++] = PackedDatagram{CMD_FPWR, master->slave_table[slaves[k]].config_address, kRegAlControl, 2,
                                          request, nullptr, 0};
        PackedExchangeUntilAnswered(&master->port, list, used, kPackedReplyWaitUs, kPackedSends, nullptr);
        if (written != nullptr)
            for (int k = 0; k < used; k++) written[start + k] = list[k].result;
    }
}

namespace {

// StateCheckAll for at most kSlavesPerRun slaves, up to a deadline shared by every run.
int StateCheckRun(MasterContext* master, const uint16_t* slaves, int count, uint16_t requested_state,
                  TimeStamp deadline, StateWait wait) {
    PackedDatagram list[kSlavesPerRun];
    uint8_t status[kSlavesPerRun][6];
    int which[kSlavesPerRun];
    bool reached[kSlavesPerRun] = {};
    bool refused[kSlavesPerRun] = {};
    for (;;) {
        int used = 0;
        for (int k = 0; k < count; k++) {
            if (reached[k] || refused[k] || slaves[k] < 1 || slaves[k] > master->slave_count) continue;
            memset(status[used], 0, sizeof status[used]);
            list[used] = PackedDatagram{CMD_FPRD, master->slave_table[slaves[k]].config_address, kRegAlStatus, 6,
                                        nullptr, status[used], 0};
            which[used++] = k;
        }
        if (used == 0) break;
        PackedExchange(&master->port, list, used, kPollTimeoutUs, nullptr);
        // As StateCheck: the record takes what the last poll brought (zeros when unanswered).
        for (int j = 0; j < used; j++) {
            SlaveRecord& record = master->slave_table[slaves[which[j]]];
            record.state = WireLoad16(status[j]);
            record.al_status_code = WireLoad16(status[j] + 4);
            if ((record.state & 0x000F) == requested_state) {
                reached[which[j]] = true;
            } else if (wait == StateWait::kStopOnError && (record.state & kAlStatusErrorIndication) != 0) {
                refused[which[j]] = true;
            }
        }
        bool all = true;
        for (int j = 0; j < used; j++) all = all && (reached[which[j]] || refused[which[j]]);
        if (all) break;
        WaitMicrosecondsOf(master->port.clock, kStatePollGapUs);
        if (DeadlinePassedOf(master->port.clock, deadline)) break;
    }
    int in_state = 0;
    for (int k = 0; k < count; k++) in_state += reached[k] ? 1 : 0;
    return in_state;
}

}  // namespace

// Runs of slaves are polled one after the other up to the one deadline: the slaves of
// later runs were asked at the same time and change state meanwhile, and each is polled
// at least once.
int StateCheckAll(MasterContext* master, const uint16_t* slaves, int count, uint16_t requested_state,
                  int32_t timeout_us, StateWait wait) {
    if (timeout_us < 0) timeout_us = 0;
    const TimeStamp deadline = DeadlineAfterOf(master->port.clock, static_cast<uint32_t>(timeout_us));
    int in_state = 0;
    for (int start = 0; start < count; start += kSlavesPerRun)
        in_state += StateCheckRun(master, slaves + start, count - start < kSlavesPerRun ? count - start : kSlavesPerRun,
                                  requested_state, deadline, wait);
    return in_state;
}

int ConfigureNetwork(MasterContext* master) { return ConfigureNetworkWith(master, EepromReadOrder::kParallel); }

int ScanNetworkKeepingStates(MasterContext* master, ScanIdentities identities) {
    ResetTables(master);
    const uint8_t alias_off = 0x00;
    BroadcastWrite(master, kRegDlControlAlias, 1, &alias_off);
    const int wkc = CountSlaves(master);
    if (wkc <= 0) return wkc;
    const int count = master->slave_count;
    AddressAllSlaves(master, count);
    if (identities == ScanIdentities::kRead) ReadAllIdentities(master, count);
    // No read of word 0x001A is left started: nothing on this path finishes it (every
    // later read starts its own), and the scan reads the mailbox words of every slave.
    DescribeFirstSlave(master, false, /*wait_for_init=*/false, FirstSlave::kRegistersOnly);
    return count;
}

int ConfigureNetworkWith(MasterContext* master, EepromReadOrder order) {
    ResetTables(master);
    int wkc = DetectSlaves(master);
    if (wkc <= 0) return wkc;
    SetSlavesToDefault(master);
    int count = master->slave_count;
    if (order == EepromReadOrder::kParallel) {
        AddressAllSlaves(master, count);
        ReadAllIdentities(master, count);
        StartReadMailboxReads(master, count);
        DescribeFirstSlave(master, false);
        return count;
    }
    for (int n = 1; n <= count; n++) AddressSlave(master, n);
    ReadIdentities(master, count, order);
    DescribeFirstSlave(master, true);
    return count;
}
