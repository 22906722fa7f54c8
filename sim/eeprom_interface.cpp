// The ESC's EEPROM interface 0x0500-0x050F in front of the simulated SII EEPROM: the
// command state machine with its busy times and faults, and the vanishing faults.
#include <cstring>

#include "sim/eeprom_internal.h"
#include "sim/segment.h"
#include "sim/sim_clock.h"
#include "wire/byte_order.h"
#include "wire/esc_registers.h"

namespace {

constexpr uint32_t kInterfaceFirst = kRegEepromConfiguration;
constexpr uint32_t kInterfaceEnd = kRegEepromInterfaceEnd;
constexpr uint16_t kEepromCommandErrors = kEepromStatusNack | kEepromStatusWriteEnableError;

// True when an access of `length` bytes at `address` (wrapping at 64 KiB, as the
// segment does) touches byte `reg`.
bool Covers(uint16_t address, uint16_t length, uint32_t reg) {
    return static_cast<uint16_t>(reg - address) < length;
}

bool TouchesInterface(uint16_t address, uint16_t length) {
    uint32_t start = address;
    uint32_t end = start + length;
    if (start < kInterfaceEnd && end > kInterfaceFirst) return true;
    return end > 0x10000 && end - 0x10000 > kInterfaceFirst;
}

uint8_t ImageByte(const SimEeprom& e, uint32_t byte_address) {
    uint16_t word = e.words[(byte_address / 2) % SimEepromWordCount(&e)];
    return static_cast<uint8_t>(byte_address & 1 ? word >> 8 : word);
}

// Refreshes the register bytes 0x0501-0x050F from the interface state; this also undoes
// whatever the master wrote into bytes the ESC did not take.
void Publish(SimSlave* slave) {
    SimEeprom& e = slave->eeprom;
    uint8_t* m = slave->memory;
    m[kRegEepromPdiAccess] = e.pdi_access;
    uint16_t status = e.error_bits;
    if (e.eight_byte_reads) status |= kEepromStatusEightByte;
    if (e.command != kEepromCodeIdle) status |= static_cast<uint16_t>(kEepromStatusBusy | (e.command << 8));
    WireStore16(m + kRegEepromControl, status);
    WireStore32(m + kRegEepromAddress, e.address);
    memcpy(m + kRegEepromData, e.data, sizeof(e.data));
}

void LoadHeaderRegisters(SimSlave* slave) {
    SimEeprom& e = slave->eeprom;
    if (SimSiiHeaderValid(&e)) {
        e.error_bits &= static_cast<uint16_t>(~kEepromStatusChecksumError);
        WireStore16(slave->memory + kRegPdiControl, e.words[kSiiWordPdiControl]);
        WireStore16(slave->memory + kRegStationAlias, e.words[kSiiWordAlias]);
    } else {
        e.error_bits |= kEepromStatusChecksumError;
    }
}

// The end of the busy time: the command takes effect.
void Complete(SimSlave* slave) {
    SimEeprom& e = slave->eeprom;
    uint8_t command = e.command;
    e.command = kEepromCodeIdle;
    if (e.command_nacked) {
        e.error_bits |= kEepromStatusNack;
        return;
    }
    switch (command) {
        case kEepromCodeRead: {
            int count = e.eight_byte_reads ? 8 : 4;
            memset(e.data, 0, sizeof(e.data));
            for (int i = 0; i < count; i++) e.data[i] = ImageByte(e, 2 * e.command_address + static_cast<uint32_t>(i));
            break;
        }
        case kEepromCodeWrite:
            e.words[e.command_address % SimEepromWordCount(&e)] = e.write_value;
            e.counters.words_written++;
            if (e.path[0] != '\0') {
                int end = static_cast<int>(2 * (e.command_address % SimEepromWordCount(&e)) + 2);
                if (end > e.file_bytes) e.file_bytes = end;
                e.unsaved = true;
                SimEepromSaveImage(&e);
            }
            break;
        case kEepromCodeReload:
            LoadHeaderRegisters(slave);
            break;
        default:
            break;
    }
}

// The slave and everything behind it stop answering: the line is broken before it.
void Vanish(SimSlave* slave, uint64_t now) {
    SimEeprom& e = slave->eeprom;
    SimSegment* segment = e.segment;
    e.vanish_fired = true;
    e.off_line = true;
    e.off_line_since_us = now;
    if (segment->vanished_from == 0 || segment->vanished_from > slave->position)
        segment->vanished_from = slave->position;
}

void Advance(SimSlave* slave, uint64_t now) {
    SimEeprom& e = slave->eeprom;
    if (e.command != kEepromCodeIdle && e.busy_until_us != kSimEepromNever && now >= e.busy_until_us) Complete(slave);
}

void StartCommand(SimSlave* slave, uint16_t control, uint64_t now) {
    SimEeprom& e = slave->eeprom;
    uint8_t command = static_cast<uint8_t>((control >> 8) & 0x07);
    if (command == kEepromCodeIdle) {  // "no command": clears the error bits of earlier commands
        e.error_bits &= static_cast<uint16_t>(~kEepromCommandErrors);
        return;
    }
    // Each command reports its own outcome.
    e.error_bits &= static_cast<uint16_t>(~kEepromCommandErrors);
    if (command != kEepromCodeRead && command != kEepromCodeWrite && command != kEepromCodeReload) {
        e.error_bits |= kEepromStatusNack;
        return;
    }
    if (command == kEepromCodeWrite && (control & kEepromControlWriteEnable) == 0) {
        e.error_bits |= kEepromStatusWriteEnableError;
        e.counters.write_enable_errors++;
        return;
    }
    e.counters.commands++;
    if (command == kEepromCodeRead) e.counters.reads++;
    if (command == kEepromCodeWrite) e.counters.writes++;
    uint32_t word = e.address % SimEepromWordCount(&e);
    bool damaged = command != kEepromCodeReload && word >= e.faults.bad_words_first &&
                   word < static_cast<uint32_t>(e.faults.bad_words_first) + e.faults.bad_words_count;
    bool nack_write = command == kEepromCodeWrite && (e.faults.nack_writes_all || e.faults.nack_writes_first > 0);
    bool nack = e.faults.nack_all || e.faults.nack_first > 0 || nack_write || damaged;
    if (e.faults.nack_first > 0) e.faults.nack_first--;
    if (nack_write && e.faults.nack_writes_first > 0) e.faults.nack_writes_first--;
    if (nack) e.counters.nacks++;
    if (command == kEepromCodeWrite && !nack && e.faults.vanish_at_write > 0 && !e.vanish_fired &&
        e.accepted_writes + 1 >= static_cast<uint32_t>(e.faults.vanish_at_write) && e.segment != nullptr) {
        // The slave drops off the line with this frame, before the write cycle begins:
        // the command never reaches the interface, which stays idle.
        Vanish(slave, now);
        return;
    }
    e.command = command;
    e.command_nacked = nack;
    e.command_address = e.address;
    e.write_value = static_cast<uint16_t>(e.data[0] | (e.data[1] << 8));
    uint32_t latency = command == kEepromCodeRead    ? e.read_latency_us
                       : command == kEepromCodeWrite ? e.write_latency_us
                                                  : e.reload_latency_us;
    e.busy_until_us = e.faults.busy_stuck ? kSimEepromNever : now + latency;
    if (command == kEepromCodeWrite && !nack) {
        e.accepted_writes++;
        // The write cycle has begun; the slave drops off the line after this frame.
        if (e.faults.vanish_after_writes > 0 && !e.vanish_fired &&
            e.accepted_writes >= static_cast<uint32_t>(e.faults.vanish_after_writes) && e.segment != nullptr)
            Vanish(slave, now);
    }
}

// The no-answer fault: reads covering the chosen register are not executed.
bool NoAnswerBeforeRead(SimSlave* slave, uint16_t address, uint16_t length) {
    const SimEeprom& e = slave->eeprom;
    if (e.faults.no_answer_register < 0) return true;
    uint32_t reg = static_cast<uint32_t>(e.faults.no_answer_register);
    return !Covers(address, length, reg) && !Covers(address, length, reg + 1);
}

// A read of the interface sees the state as of now.
bool InterfaceBeforeRead(SimSlave* slave, uint16_t address, uint16_t length) {
    if (!TouchesInterface(address, length)) return true;
    Advance(slave, SimSlaveNowMicros(slave));
    Publish(slave);
    return true;
}

// A write into the interface: address and data are taken while it is idle, a write
// covering byte 0x0503 is a command.
void InterfaceAfterWrite(SimSlave* slave, uint16_t address, uint16_t length) {
    if (!TouchesInterface(address, length)) return;
    SimEeprom& e = slave->eeprom;
    uint8_t* m = slave->memory;
    uint64_t now = SimSlaveNowMicros(slave);
    Advance(slave, now);
    if (Covers(address, length, kRegEepromConfiguration) && (m[kRegEepromConfiguration] & 0x02) != 0) e.pdi_access = 0;
    bool master_has_access = e.pdi_access == 0;
    bool busy = e.command != kEepromCodeIdle;
    if (master_has_access && !busy) {
        uint8_t address_bytes[4];
        WireStore32(address_bytes, e.address);
        for (int i = 0; i < 4; i++)
            if (Covers(address, length, kRegEepromAddress + static_cast<uint32_t>(i))) address_bytes[i] = m[kRegEepromAddress + i];
        e.address = WireLoad32(address_bytes);
        bool data_written = false;
        for (int i = 0; i < 8; i++) {
            if (!Covers(address, length, kRegEepromData + static_cast<uint32_t>(i))) continue;
            e.data[i] = m[kRegEepromData + i];
            data_written = true;
        }
        if (data_written) e.counters.data_writes++;
    }
    if (Covers(address, length, kRegEepromControl + 1)) {
        if (!master_has_access) {
            // the PDI owns the interface: the EtherCAT side cannot command it
        } else if (busy) {
            e.counters.ignored_while_busy++;
        } else {
            StartCommand(slave, WireLoad16(m + kRegEepromControl), now);
        }
    }
    Publish(slave);
}

}  // namespace

uint32_t SimEepromWordCount(const SimEeprom* eeprom) {
    return eeprom->word_count != 0 ? eeprom->word_count : static_cast<uint32_t>(kSimEepromWords);
}

bool SimSiiHeaderValid(const SimEeprom* eeprom) { return SiiHeaderValid(eeprom->words); }

void SimEepromPowerOn(SimSlave* slave) {
    SimEeprom& e = slave->eeprom;
    e.pdi_access = 0;
    e.error_bits = SimSiiHeaderValid(&e) ? 0 : kEepromStatusChecksumError;
    e.address = 0;
    memset(e.data, 0, sizeof(e.data));
    e.command = kEepromCodeIdle;
    e.command_nacked = false;
    slave->memory[kRegEepromConfiguration] = 0;
    Publish(slave);
}

void SimEepromDefaultImage(SimEeprom* eeprom, int position) {
    memset(static_cast<void*>(eeprom), 0, sizeof(*eeprom));
    SiiDefaultImage(eeprom->words, position);
    eeprom->word_count = kSimEepromWords;
    eeprom->read_latency_us = kSimEepromReadLatencyUs;
    eeprom->write_latency_us = kSimEepromWriteLatencyUs;
    eeprom->reload_latency_us = kSimEepromReloadLatencyUs;
    eeprom->faults.no_answer_register = -1;
}

void SimEepromComeBackAt(SimSegment* segment, uint64_t now_us) {
    if (segment == nullptr || segment->vanished_from == 0) return;
    bool returned = false;
    for (SimSlave* slave : segment->slaves) {
        SimEeprom& e = slave->eeprom;
        if (!e.off_line || !e.faults.come_back) continue;
        uint64_t due = e.off_line_since_us + static_cast<uint64_t>(e.faults.come_back_after_ms) * 1000u;
        if (now_us < due) continue;
        e.off_line = false;
        returned = true;
    }
    if (!returned) return;
    int first_still_off = 0;
    for (SimSlave* slave : segment->slaves) {
        if (slave->eeprom.off_line) {
            first_still_off = slave->position;
            break;
        }
    }
    segment->vanished_from = first_still_off;
}

void SimEepromFinishCommand(SimSlave* slave) {
    const SimEeprom& e = slave->eeprom;
    if (e.command != kEepromCodeIdle && e.busy_until_us != kSimEepromNever) Complete(slave);
}

const SimRegisterHook kSimEepromNoAnswerHook = {
    "eeprom no-answer fault", 0x0000, 0x10000, NoAnswerBeforeRead, nullptr, nullptr, nullptr, nullptr,
};

const SimRegisterHook kSimEepromInterfaceHook = {
    "eeprom interface", kRegEepromConfiguration, kRegEepromInterfaceEnd, InterfaceBeforeRead, nullptr, nullptr,
    InterfaceAfterWrite, SimEepromPowerOn,
};

void SimEepromAttach(SimSegment* segment) {
    for (SimSlave* slave : segment->slaves) slave->eeprom.segment = segment;
}

void SimEepromSetEightByteReads(SimSlave* slave, bool eight) {
    slave->eeprom.eight_byte_reads = eight;
    Publish(slave);
}

void SimEepromSetLatency(SimSlave* slave, uint32_t read_us, uint32_t write_us) {
    slave->eeprom.read_latency_us = read_us;
    slave->eeprom.write_latency_us = write_us;
    slave->eeprom.reload_latency_us = read_us * 4;
}

void SimEepromPdiTakesAccess(SimSlave* slave) {
    slave->eeprom.pdi_access = 1;
    Publish(slave);
}
