// SII EEPROM access through the slave controller's EEPROM interface: hand-over between
// master and PDI, busy polling, word reads and writes with error clearing and NACK
// retries, the split read the bring-up pipelines, the byte cache, the category walk and
// the name string.
#include "slave/eeprom.h"

#include <cstring>

#include "link/clock.h"
#include "link/datagram.h"
#include "slave/context.h"
#include "wire/byte_order.h"

namespace {

constexpr int32_t kRegisterTimeoutUs = 2000;
constexpr int32_t kClearErrorsTimeoutUs = 6000;
constexpr uint32_t kBusyTimeoutUs = 20000;
constexpr uint32_t kBusyPollGapUs = 200;
constexpr uint32_t kAfterReadCommandUs = 200;
constexpr uint32_t kAfterWriteCommandUs = 400;
constexpr uint32_t kAfterNackUs = 1000;
constexpr int kRepeats = 3;  // a register access is made in up to 4 attempts
constexpr int kNacksAllowed = 3;

constexpr uint8_t kConfigurationToPdi = 0x01;
constexpr uint8_t kConfigurationForceMaster = 0x02;
constexpr uint8_t kConfigurationMaster = 0x00;

bool SlaveInTable(const MasterContext* master, uint16_t slave) { return slave < master->slave_table.capacity; }

// A command from this path makes the SII engine's last idle status of the slave stale:
// its next read waits for an idle interface again.
void ForgetIdleStatus(MasterContext* master, uint16_t config_address) {
    const int count = master->slave_count < master->slave_table.capacity ? master->slave_count
                                                                          : master->slave_table.capacity - 1;
    for (int n = 1; n <= count; n++)
        if (master->slave_table[n].config_address == config_address) master->eeprom_reads[n].idle_seen = 0;
}


int WriteWithAttempts(MasterContext* master, uint16_t config_address, uint16_t reg, uint16_t length, const void* data) {
    int wkc = FPWR(&master->port, config_address, reg, length, data, kRegisterTimeoutUs);
    for (int repeat = 0; wkc <= 0 && repeat < kRepeats; repeat++)
        wkc = FPWR(&master->port, config_address, reg, length, data, kRegisterTimeoutUs);
    return wkc;
}

// The data land in `data` only from an attempt that was answered (FPRD copies nothing
// otherwise).
int ReadWithAttempts(MasterContext* master, uint16_t config_address, uint16_t reg, uint16_t length, void* data) {
    int wkc = FPRD(&master->port, config_address, reg, length, data, kRegisterTimeoutUs);
    for (int repeat = 0; wkc <= 0 && repeat < kRepeats; repeat++)
        wkc = FPRD(&master->port, config_address, reg, length, data, kRegisterTimeoutUs);
    return wkc;
}

int WriteConfiguration(MasterContext* master, uint16_t config_address, uint8_t value) {
    return WriteWithAttempts(master, config_address, kRegEepromConfiguration, 1, &value);
}

void ClearErrors(MasterContext* master, uint16_t config_address) {
    ForgetIdleStatus(master, config_address);
    const uint8_t no_command[2] = {0, 0};
    FPWR(&master->port, config_address, kRegEepromControl, 2, no_command, kClearErrorsTimeoutUs);
}

// Command word and word address in one datagram, so the ESC sees both at once.
int SendCommand(MasterContext* master, uint16_t config_address, uint16_t command, uint16_t word_address) {
    ForgetIdleStatus(master, config_address);
    const uint8_t record[6] = {static_cast<uint8_t>(command), static_cast<uint8_t>(command >> 8),
                               static_cast<uint8_t>(word_address), static_cast<uint8_t>(word_address >> 8), 0, 0};
    return WriteWithAttempts(master, config_address, kRegEepromControl, sizeof(record), record);
}

// Waits until idle and clears error bits left by earlier commands. False when the
// interface never showed itself idle.
bool PrepareCommand(MasterContext* master, uint16_t config_address) {
    uint16_t status = 0;
    if (!EepromWaitNotBusy(master, config_address, &status)) return false;
    if (status & kEepromStatusErrorBits) ClearErrors(master, config_address);
    return true;
}

// After a pass that returned nothing: go on while one or two NACKs have been seen and
// the pass bound is not reached. Passes without a NACK do not advance the NACK count,
// so the bound is what ends a slave that NACKs once and then stops answering.
bool AnotherPass(int nacks, int passes) { return nacks >= 1 && nacks < kNacksAllowed && passes < kEepromMaxPasses; }

// `delivered` (may be null) receives the number of bytes the interface read: 4 or 8.
bool ReadWordChecked(MasterContext* master, uint16_t config_address, uint16_t word_address, uint64_t* value,
                     int* delivered) {
    *value = 0;
    if (!PrepareCommand(master, config_address)) return false;
    int nacks = 0;
    for (int passes = 1;; passes++) {
        // Only an acknowledged command counts. With no reply at all the command may
        // never have arrived; the data register then still holds the last word read,
        // and handing that out would give another word's contents as this one's.
        if (SendCommand(master, config_address, kEepromCommandRead, word_address) > 0) {
            WaitMicrosecondsOf(master->port.clock, kAfterReadCommandUs);
            uint16_t status = 0;
            if (EepromWaitNotBusy(master, config_address, &status)) {
                if (status & kEepromStatusNack) {
                    nacks++;
                    WaitMicrosecondsOf(master->port.clock, kAfterNackUs);
                } else {
                    uint8_t data[8] = {0};
                    uint16_t length = (status & kEepromStatusEightByte) ? 8 : 4;
                    if (ReadWithAttempts(master, config_address, kRegEepromData, length, data) <= 0) return false;
                    for (int i = length - 1; i >= 0; i--) *value = (*value << 8) | data[i];
                    if (delivered != nullptr) *delivered = length;
                    return true;
                }
            }
        }
        if (!AnotherPass(nacks, passes)) return false;
    }
}

struct SiiByte {
    bool read;  // false: the EEPROM could not be read
    uint8_t value;
};

// SiiGetByte that tells a failed EEPROM read apart from a byte of 0.
SiiByte SiiFetchByte(MasterContext* master, uint16_t slave, uint16_t byte_address) {
    SiiCache& cache = master->sii_cache;
    if (slave != cache.cached_slave) {
        memset(cache.fill_map, 0, sizeof(cache.fill_map));
        cache.cached_slave = slave;
    }
    if (byte_address >= kSiiCacheBytes) return SiiByte{true, 0xFF};
    if (cache.fill_map[byte_address / 32] & (1u << (byte_address % 32)))
        return SiiByte{true, cache.cache_bytes[byte_address]};
    if (!SlaveInTable(master, slave)) return SiiByte{false, 0};
    EepromToMaster(master, slave);
    const SlaveRecord& record = master->slave_table[slave];
    uint16_t word = byte_address / 2;
    uint64_t value = 0;
    int delivered = 0;
    // Only bytes really read are marked filled: a failed read would otherwise leave
    // zeros in the cache that no later call could replace. For the same reason a slave
    // recorded as reading 8 bytes whose interface delivered 4 fills 4.
    if (!ReadWordChecked(master, record.config_address, word, &value, &delivered)) return SiiByte{false, 0};
    int count = record.eeprom_8byte_reads && delivered == 8 ? 8 : 4;
    for (int i = 0; i < count; i++) {
        int at = 2 * word + i;
        if (at >= kSiiCacheBytes) break;  // the last words: nothing beyond the 4096 bytes
        cache.cache_bytes[at] = static_cast<uint8_t>(value >> (8 * i));
        cache.fill_map[at / 32] |= 1u << (at % 32);
    }
    return SiiByte{true, cache.cache_bytes[byte_address]};
}

bool SiiFetchWord(MasterContext* master, uint16_t slave, uint16_t byte_address, uint16_t* word) {
    SiiByte low = SiiFetchByte(master, slave, byte_address);
    if (!low.read) return false;
    SiiByte high = SiiFetchByte(master, slave, static_cast<uint16_t>(byte_address + 1));
    if (!high.read) return false;
    *word = static_cast<uint16_t>(low.value | (high.value << 8));
    return true;
}

int16_t WalkCategories(MasterContext* master, uint16_t slave, uint16_t wanted) {
    uint16_t type = 0;
    if (!SiiFetchWord(master, slave, 0x80, &type)) return 0;
    uint16_t position = 0x82;
    while (type != wanted && type != kSiiCategoryEnd) {
        uint16_t length = 0;
        if (!SiiFetchWord(master, slave, position, &length)) return 0;
        uint16_t next = static_cast<uint16_t>(position + 2 + 2 * length);
        // A length that wraps the 16-bit position back (or onto itself) would lead round
        // the same categories for ever: the chain ends here.
        if (next <= position) return 0;
        if (!SiiFetchWord(master, slave, next, &type)) return 0;
        position = static_cast<uint16_t>(next + 2);
    }
    return type == wanted ? static_cast<int16_t>(position) : 0;
}

bool CopyName(MasterContext* master, char* buffer, uint16_t slave) {
    int16_t found = SiiFind(master, slave, kSiiCategoryStrings);
    if (found == 0) return false;
    uint16_t at = static_cast<uint16_t>(found);
    SiiByte count = SiiFetchByte(master, slave, static_cast<uint16_t>(at + 2));
    if (!count.read) return false;
    if (count.value == 0) {
        buffer[0] = '\0';
        return true;
    }
    SiiByte length = SiiFetchByte(master, slave, static_cast<uint16_t>(at + 3));
    if (!length.read) return false;
    char name[kSiiNameChars + 1];
    int kept = 0;
    for (int j = 1; j <= length.value && j <= kSiiNameChars; j++) {
        SiiByte c = SiiFetchByte(master, slave, static_cast<uint16_t>(at + 3 + j));
        if (!c.read) return false;
        name[kept++] = static_cast<char>(c.value);
    }
    name[kept] = '\0';
    memcpy(buffer, name, static_cast<size_t>(kept) + 1);
    return true;
}

bool EepromWithPdi(MasterContext* master, uint16_t slave) {
    return SlaveInTable(master, slave) && master->slave_table[slave].eeprom_at_pdi != 0;
}

}  // namespace

int EepromToMaster(MasterContext* master, uint16_t slave) {
    if (!SlaveInTable(master, slave)) return 0;
    SlaveRecord& record = master->slave_table[slave];
    if (record.eeprom_at_pdi == 0) return 1;
    master->eeprom_reads[slave].idle_seen = 0;  // the PDI may have used the interface
    WriteConfiguration(master, record.config_address, kConfigurationForceMaster);
    int wkc = WriteConfiguration(master, record.config_address, kConfigurationMaster);
    record.eeprom_at_pdi = 0;
    return wkc;
}

int EepromToPdi(MasterContext* master, uint16_t slave) {
    if (!SlaveInTable(master, slave)) return 0;
    SlaveRecord& record = master->slave_table[slave];
    if (record.eeprom_at_pdi != 0) return 1;
    master->eeprom_reads[slave].idle_seen = 0;
    int wkc = WriteConfiguration(master, record.config_address, kConfigurationToPdi);
    record.eeprom_at_pdi = 1;
    return wkc;
}

int EepromWaitNotBusy(MasterContext* master, uint16_t config_address, uint16_t* status) {
    uint16_t ignored = 0;
    if (status == nullptr) status = &ignored;
    TimeStamp deadline = DeadlineAfterOf(master->port.clock, kBusyTimeoutUs);
    for (bool first = true;; first = false) {
        if (!first) WaitMicrosecondsOf(master->port.clock, kBusyPollGapUs);
        *status = 0;
        uint8_t bytes[2] = {0, 0};
        // "Not busy" must come from the slave: a status read nobody answered says nothing.
        if (FPRD(&master->port, config_address, kRegEepromControl, 2, bytes, kRegisterTimeoutUs) > 0) {
            *status = WireLoad16(bytes);
            if ((*status & kEepromStatusBusy) == 0) return 1;
        }
        if (DeadlinePassedOf(master->port.clock, deadline)) return 0;
    }
}

uint64_t EepromReadWord(MasterContext* master, uint16_t config_address, uint16_t word_address) {
    uint64_t value = 0;
    return ReadWordChecked(master, config_address, word_address, &value, nullptr) ? value : 0;
}

int EepromWriteWord(MasterContext* master, uint16_t config_address, uint16_t word_address, uint16_t value) {
    if (!PrepareCommand(master, config_address)) return 0;
    const uint8_t data[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
    int nacks = 0;
    for (int passes = 1;; passes++) {
        // The write command stores whatever the data register holds: without an
        // acknowledged data write it would store stale contents. And a write command
        // that no reply confirmed may never have arrived: an idle status afterwards
        // would then report a write that did not happen. The caller repeats the write.
        if (WriteWithAttempts(master, config_address, kRegEepromData, sizeof(data), data) > 0 &&
            SendCommand(master, config_address, kEepromCommandWrite, word_address) > 0) {
            WaitMicrosecondsOf(master->port.clock, kAfterWriteCommandUs);
            uint16_t status = 0;
            if (EepromWaitNotBusy(master, config_address, &status)) {
                if ((status & kEepromStatusNack) == 0) return 1;
                nacks++;
                WaitMicrosecondsOf(master->port.clock, kAfterNackUs);
            }
        }
        if (!AnotherPass(nacks, passes)) return 0;
    }
}

void EepromReadStart(MasterContext* master, uint16_t slave, uint16_t word_address) {
    if (!SlaveInTable(master, slave)) return;
    EepromReadTrack& track = master->eeprom_reads[slave];
    track.read_issued = 0;
    EepromToMaster(master, slave);
    uint16_t config_address = master->slave_table[slave].config_address;
    if (!PrepareCommand(master, config_address)) return;
    track.read_issued = SendCommand(master, config_address, kEepromCommandRead, word_address) > 0 ? 1 : 0;
}

uint32_t EepromReadFinish(MasterContext* master, uint16_t slave) {
    if (!SlaveInTable(master, slave)) return 0;
    EepromReadTrack& track = master->eeprom_reads[slave];
    bool issued = track.read_issued != 0;
    track.read_issued = 0;  // a finish consumes the started read
    track.last_finish_failed = 1;
    // Without an acknowledged command the data register holds an older read.
    if (!issued) return 0;
    uint16_t config_address = master->slave_table[slave].config_address;
    uint16_t status = 0;
    if (!EepromWaitNotBusy(master, config_address, &status)) return 0;
    if (status & kEepromStatusCommandErrors) return 0;
    uint8_t data[4] = {0, 0, 0, 0};
    if (ReadWithAttempts(master, config_address, kRegEepromData, sizeof(data), data) <= 0) return 0;
    track.last_finish_failed = 0;
    return WireLoad32(data);
}

bool EepromLastFinishFailed(MasterContext* master, uint16_t slave) {
    if (!SlaveInTable(master, slave)) return true;
    return master->eeprom_reads[slave].last_finish_failed != 0;
}

uint8_t SiiGetByte(MasterContext* master, uint16_t slave, uint16_t byte_address) {
    return SiiFetchByte(master, slave, byte_address).value;
}

int16_t SiiFind(MasterContext* master, uint16_t slave, uint16_t category_type) {
    bool with_pdi = EepromWithPdi(master, slave);
    int16_t found = WalkCategories(master, slave, category_type);
    if (with_pdi) EepromToPdi(master, slave);
    return found;
}

bool SiiStringChecked(MasterContext* master, char* buffer, uint16_t slave) {
    bool with_pdi = EepromWithPdi(master, slave);
    bool copied = CopyName(master, buffer, slave);
    if (with_pdi) EepromToPdi(master, slave);
    return copied;
}

void SiiString(MasterContext* master, char* buffer, uint16_t slave) { SiiStringChecked(master, buffer, slave); }
