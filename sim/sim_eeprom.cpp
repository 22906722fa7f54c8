// The simulated slave's SII EEPROM and the ESC interface in front of it.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "sim/segment.h"
#include "sim/wire.h"

namespace {

constexpr uint16_t kRegConfiguration = 0x0500;
constexpr uint16_t kRegPdiAccess = 0x0501;
constexpr uint16_t kRegControl = 0x0502;
constexpr uint16_t kRegAddress = 0x0504;
constexpr uint16_t kRegData = 0x0508;
constexpr uint16_t kRegStationAlias = 0x0012;
constexpr uint16_t kRegPdiControl = 0x0140;
constexpr uint32_t kInterfaceFirst = 0x0500;
constexpr uint32_t kInterfaceEnd = 0x0510;

enum : uint8_t { kCommandIdle = 0, kCommandRead = 1, kCommandWrite = 2, kCommandReload = 4 };
constexpr uint16_t kCommandErrors = kSimEepromStatusCommandError | kSimEepromStatusWriteEnableError;
constexpr uint64_t kNever = ~0ULL;

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
    uint16_t word = e.words[(byte_address / 2) % kSimEepromWords];
    return static_cast<uint8_t>(byte_address & 1 ? word >> 8 : word);
}

bool SaveImage(SimEeprom* e);

// Refreshes the register bytes 0x0501-0x050F from the interface state; this also undoes
// whatever the master wrote into bytes the ESC did not take.
void Publish(SimSlave* slave) {
    SimEeprom& e = slave->eeprom;
    uint8_t* m = slave->memory;
    m[kRegPdiAccess] = e.pdi_access;
    uint16_t status = e.error_bits;
    if (e.eight_byte_reads) status |= kSimEepromStatusEightByte;
    if (e.command != kCommandIdle) status |= static_cast<uint16_t>(kSimEepromStatusBusy | (e.command << 8));
    SimPut16(m + kRegControl, status);
    SimPut32(m + kRegAddress, e.address);
    memcpy(m + kRegData, e.data, sizeof(e.data));
}

void LoadHeaderRegisters(SimSlave* slave) {
    SimEeprom& e = slave->eeprom;
    if (SimSiiHeaderValid(&e)) {
        e.error_bits &= static_cast<uint16_t>(~kSimEepromStatusChecksumError);
        SimPut16(slave->memory + kRegPdiControl, e.words[kSiiWordPdiControl]);
        SimPut16(slave->memory + kRegStationAlias, e.words[kSiiWordAlias]);
    } else {
        e.error_bits |= kSimEepromStatusChecksumError;
    }
}

// The end of the busy time: the command takes effect.
void Complete(SimSlave* slave) {
    SimEeprom& e = slave->eeprom;
    uint8_t command = e.command;
    e.command = kCommandIdle;
    if (e.command_nacked) {
        e.error_bits |= kSimEepromStatusCommandError;
        return;
    }
    switch (command) {
        case kCommandRead: {
            int count = e.eight_byte_reads ? 8 : 4;
            memset(e.data, 0, sizeof(e.data));
            for (int i = 0; i < count; i++) e.data[i] = ImageByte(e, 2 * e.command_address + static_cast<uint32_t>(i));
            break;
        }
        case kCommandWrite:
            e.words[e.command_address % kSimEepromWords] = e.write_value;
            e.counters.words_written++;
            if (e.path[0] != '\0') {
                int end = static_cast<int>(2 * (e.command_address % kSimEepromWords) + 2);
                if (end > e.file_bytes) e.file_bytes = end;
                e.unsaved = true;
                SaveImage(&e);
            }
            break;
        case kCommandReload:
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
    if (e.command != kCommandIdle && e.busy_until_us != kNever && now >= e.busy_until_us) Complete(slave);
}

void StartCommand(SimSlave* slave, uint16_t control, uint64_t now) {
    SimEeprom& e = slave->eeprom;
    uint8_t command = static_cast<uint8_t>((control >> 8) & 0x07);
    if (command == kCommandIdle) {  // "no command": clears the error bits of earlier commands
        e.error_bits &= static_cast<uint16_t>(~kCommandErrors);
        return;
    }
    // Each command reports its own outcome.
    e.error_bits &= static_cast<uint16_t>(~kCommandErrors);
    if (command != kCommandRead && command != kCommandWrite && command != kCommandReload) {
        e.error_bits |= kSimEepromStatusCommandError;
        return;
    }
    if (command == kCommandWrite && (control & kSimEepromStatusWriteEnable) == 0) {
        e.error_bits |= kSimEepromStatusWriteEnableError;
        e.counters.write_enable_errors++;
        return;
    }
    e.counters.commands++;
    if (command == kCommandRead) e.counters.reads++;
    if (command == kCommandWrite) e.counters.writes++;
    uint32_t word = e.address % kSimEepromWords;
    bool damaged = command != kCommandReload && word >= e.faults.bad_words_first &&
                   word < static_cast<uint32_t>(e.faults.bad_words_first) + e.faults.bad_words_count;
    bool nack_write = command == kCommandWrite && (e.faults.nack_writes_all || e.faults.nack_writes_first > 0);
    bool nack = e.faults.nack_all || e.faults.nack_first > 0 || nack_write || damaged;
    if (e.faults.nack_first > 0) e.faults.nack_first--;
    if (nack_write && e.faults.nack_writes_first > 0) e.faults.nack_writes_first--;
    if (nack) e.counters.nacks++;
    if (command == kCommandWrite && !nack && e.faults.vanish_at_write > 0 && !e.vanish_fired &&
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
    uint32_t latency = command == kCommandRead    ? e.read_latency_us
                       : command == kCommandWrite ? e.write_latency_us
                                                  : e.reload_latency_us;
    e.busy_until_us = e.faults.busy_stuck ? kNever : now + latency;
    if (command == kCommandWrite && !nack) {
        e.accepted_writes++;
        // The write cycle has begun; the slave drops off the line after this frame.
        if (e.faults.vanish_after_writes > 0 && !e.vanish_fired &&
            e.accepted_writes >= static_cast<uint32_t>(e.faults.vanish_after_writes) && e.segment != nullptr)
            Vanish(slave, now);
    }
}

// ---- image files ----

bool SaveImage(SimEeprom* e) {
    if (e->path[0] == '\0') {  // no file: the image lives in memory only
        e->unsaved = false;
        return true;
    }
    uint8_t bytes[2 * kSimEepromWords];
    for (int i = 0; i < kSimEepromWords; i++) SimPut16(bytes + 2 * i, e->words[i]);
    char temporary[kSimEepromPathBytes + 8];
    snprintf(temporary, sizeof(temporary), "%s.new", e->path);
    FILE* file = fopen(temporary, "wb");
    if (file == nullptr) return false;
    size_t length = static_cast<size_t>(e->file_bytes);
    bool written = fwrite(bytes, 1, length, file) == length;
    written = fclose(file) == 0 && written;
    // Replace the file in one step, so a simulator killed mid-write leaves the old image.
    if (!written || rename(temporary, e->path) != 0) {
        remove(temporary);
        return false;
    }
    e->unsaved = false;
    return true;
}

void ImageChanged(SimSlave* slave) {
    slave->eeprom.unsaved = true;
    SaveImage(&slave->eeprom);
}

}  // namespace

bool SimSiiHeaderValid(const SimEeprom* eeprom) { return SiiHeaderValid(eeprom->words); }

void SimEepromPowerOn(SimSlave* slave) {
    SimEeprom& e = slave->eeprom;
    e.pdi_access = 0;
    e.error_bits = SimSiiHeaderValid(&e) ? 0 : kSimEepromStatusChecksumError;
    e.address = 0;
    memset(e.data, 0, sizeof(e.data));
    e.command = kCommandIdle;
    e.command_nacked = false;
    slave->memory[kRegConfiguration] = 0;
    Publish(slave);
}

void SimEepromDefaultImage(SimEeprom* eeprom, int position) {
    memset(static_cast<void*>(eeprom), 0, sizeof(*eeprom));
    SiiDefaultImage(eeprom->words, position);
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

bool SimEepromBeforeRead(SimSlave* slave, uint16_t address, uint16_t length) {
    SimEeprom& e = slave->eeprom;
    if (e.faults.no_answer_register >= 0) {
        uint32_t reg = static_cast<uint32_t>(e.faults.no_answer_register);
        if (Covers(address, length, reg) || Covers(address, length, reg + 1)) return false;
    }
    if (!TouchesInterface(address, length)) return true;
    Advance(slave, SimNowMicros());
    Publish(slave);
    return true;
}

void SimEepromAfterWrite(SimSlave* slave, uint16_t address, uint16_t length) {
    if (!TouchesInterface(address, length)) return;
    SimEeprom& e = slave->eeprom;
    uint8_t* m = slave->memory;
    uint64_t now = SimNowMicros();
    Advance(slave, now);
    if (Covers(address, length, kRegConfiguration) && (m[kRegConfiguration] & 0x02) != 0) e.pdi_access = 0;
    bool master_has_access = e.pdi_access == 0;
    bool busy = e.command != kCommandIdle;
    if (master_has_access && !busy) {
        uint8_t address_bytes[4];
        SimPut32(address_bytes, e.address);
        for (int i = 0; i < 4; i++)
            if (Covers(address, length, kRegAddress + static_cast<uint32_t>(i))) address_bytes[i] = m[kRegAddress + i];
        e.address = SimGet32(address_bytes);
        bool data_written = false;
        for (int i = 0; i < 8; i++) {
            if (!Covers(address, length, kRegData + static_cast<uint32_t>(i))) continue;
            e.data[i] = m[kRegData + i];
            data_written = true;
        }
        if (data_written) e.counters.data_writes++;
    }
    if (Covers(address, length, kRegControl + 1)) {
        if (!master_has_access) {
            // the PDI owns the interface: the EtherCAT side cannot command it
        } else if (busy) {
            e.counters.ignored_while_busy++;
        } else {
            StartCommand(slave, SimGet16(m + kRegControl), now);
        }
    }
    Publish(slave);
}

// ---- helpers for tests and options ----

void SimEepromAttach(SimSegment* segment) {
    for (SimSlave* slave : segment->slaves) slave->eeprom.segment = segment;
}

void SimEepromSetName(SimSlave* slave, const char* name) {
    if (name == nullptr)
        SiiRemoveCategory(slave->eeprom.words, kSiiTypeStrings);
    else
        SiiSetName(slave->eeprom.words, name);
    ImageChanged(slave);
}

void SimEepromSetIdentity(SimSlave* slave, uint32_t vendor, uint32_t product, uint32_t revision) {
    SiiSetIdentity(slave->eeprom.words, vendor, product, revision);
    ImageChanged(slave);
}

void SimEepromSetMailbox(SimSlave* slave, uint16_t write_offset, uint16_t write_size, uint16_t read_offset,
                         uint16_t read_size, uint16_t protocols) {
    SiiSetMailbox(slave->eeprom.words, write_offset, write_size, read_offset, read_size, protocols);
    ImageChanged(slave);
}

void SimEepromSetMailboxSize(SimSlave* slave, uint16_t bytes) {
    uint16_t protocols = slave->eeprom.words[kSiiWordMailboxProtocols];
    if (protocols == 0) protocols = kSiiDefaultProtocols;
    SimEepromSetMailbox(slave, kSiiDefaultMailboxOffset, bytes, static_cast<uint16_t>(kSiiDefaultMailboxOffset + bytes),
                        bytes, protocols);
}

void SimEepromSetGeneral(SimSlave* slave, const SiiGeneral& general) {
    SiiSetGeneral(slave->eeprom.words, general);
    ImageChanged(slave);
}

void SimEepromRemoveGeneral(SimSlave* slave) {
    SiiRemoveCategory(slave->eeprom.words, kSiiTypeGeneral);
    ImageChanged(slave);
}

void SimEepromSetWord(SimSlave* slave, uint16_t word, uint16_t value) {
    slave->eeprom.words[word % kSimEepromWords] = value;
    int end = 2 * (word % kSimEepromWords) + 2;
    if (slave->eeprom.path[0] != '\0' && end > slave->eeprom.file_bytes) slave->eeprom.file_bytes = end;
    ImageChanged(slave);
}

void SimEepromSetAlias(SimSlave* slave, uint16_t alias) {
    slave->eeprom.words[kSiiWordAlias] = alias;
    SiiUpdateChecksum(slave->eeprom.words);
    ImageChanged(slave);
}

void SimEepromUpdateChecksum(SimSlave* slave) {
    SiiUpdateChecksum(slave->eeprom.words);
    ImageChanged(slave);
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

bool SimEepromBindFile(SimSlave* slave, const char* path) {
    SimEeprom& e = slave->eeprom;
    if (strlen(path) >= sizeof(e.path)) {
        fprintf(stderr, "ecsim: image path too long: %s\n", path);
        return false;
    }
    FILE* file = fopen(path, "rb");
    if (file != nullptr) {
        uint8_t bytes[2 * kSimEepromWords];
        size_t length = fread(bytes, 1, sizeof(bytes), file);
        bool failed = ferror(file) != 0;
        fclose(file);
        if (failed) {
            fprintf(stderr, "ecsim: cannot read %s\n", path);
            return false;
        }
        // A short file is the start of the image; the rest reads as erased EEPROM.
        memset(e.words, 0xFF, sizeof(e.words));
        for (size_t i = 0; i < length; i++) {
            uint16_t& word = e.words[i / 2];
            word = static_cast<uint16_t>(i & 1 ? (word & 0x00FF) | (bytes[i] << 8) : (word & 0xFF00) | bytes[i]);
        }
        memcpy(e.path, path, strlen(path) + 1);
        e.file_bytes = static_cast<int>(length);
        e.unsaved = false;
        return true;
    }
    if (errno != ENOENT) {
        fprintf(stderr, "ecsim: cannot open %s: %s\n", path, strerror(errno));
        return false;
    }
    memcpy(e.path, path, strlen(path) + 1);
    e.file_bytes = 2 * kSimEepromWords;
    e.unsaved = true;
    if (!SaveImage(&e)) {
        fprintf(stderr, "ecsim: cannot create %s: %s\n", path, strerror(errno));
        e.path[0] = '\0';
        return false;
    }
    return true;
}

void SimEepromRepowerOn(SimSlave* slave) { SimSlavePowerOn(slave); }

void SimEepromSaveAll(SimSegment* segment) {
    if (segment == nullptr) return;
    for (SimSlave* slave : segment->slaves) {
        SimEeprom& e = slave->eeprom;
        // A write cycle under way completes in the EEPROM even when nobody looks.
        if (e.command != kCommandIdle && e.busy_until_us != kNever) Complete(slave);
        if (e.unsaved && !SaveImage(&e)) fprintf(stderr, "ecsim: cannot write %s\n", e.path);
    }
}

int SimEepromPrintHeader(const char* path) {
    FILE* file = fopen(path, "rb");
    if (file == nullptr) {
        fprintf(stderr, "ecsim: cannot open %s: %s\n", path, strerror(errno));
        return 1;
    }
    uint8_t bytes[16];
    size_t length = fread(bytes, 1, sizeof(bytes), file);
    fclose(file);
    if (length < sizeof(bytes)) {
        fprintf(stderr, "ecsim: %s holds fewer than 8 words\n", path);
        return 1;
    }
    for (int w = 0; w < 8; w++) printf("%04x%s", SimGet16(bytes + 2 * w), w < 7 ? " " : "\n");
    fflush(stdout);
    return 0;
}

// ---- options ----

namespace {

struct Selection {
    int first;
    int last;
};

int Fail(const char* option, const char* value, const char* expected) {
    fprintf(stderr, "ecsim: --%s: bad value '%s' (expected %s)\n", option, value, expected);
    return -1;
}

bool ParseNumber(const char* text, long long low, long long high, long long* out) {
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    errno = 0;
    long long v = strtoll(text, &end, 0);
    if (errno != 0 || *end != '\0' || v < low || v > high) return false;
    *out = v;
    return true;
}

// "all", "N" or "A-B", counted from 1 along the line.
bool ParseSelector(const SimSegment* segment, const char* text, Selection* selection) {
    int count = static_cast<int>(segment->slaves.size());
    if (strcmp(text, "all") == 0) {
        if (count == 0) return false;
        *selection = Selection{1, count};
        return true;
    }
    char buffer[64];
    if (strlen(text) >= sizeof(buffer)) return false;
    strcpy(buffer, text);
    char* dash = strchr(buffer, '-');
    long long first = 0, last = 0;
    if (dash != nullptr) {
        *dash = '\0';
        if (!ParseNumber(buffer, 1, count, &first) || !ParseNumber(dash + 1, 1, count, &last) || last < first)
            return false;
    } else {
        if (!ParseNumber(buffer, 1, count, &first)) return false;
        last = first;
    }
    *selection = Selection{static_cast<int>(first), static_cast<int>(last)};
    return true;
}

// Splits "SEL:REST" into the selection and the rest (null when there is no colon).
bool SplitSelector(const SimSegment* segment, const char* value, Selection* selection, const char** rest) {
    char head[64];
    const char* colon = strchr(value, ':');
    size_t length = colon != nullptr ? static_cast<size_t>(colon - value) : strlen(value);
    if (length >= sizeof(head)) return false;
    memcpy(head, value, length);
    head[length] = '\0';
    *rest = colon != nullptr ? colon + 1 : nullptr;
    return ParseSelector(segment, head, selection);
}

// Splits "A:B:C..." into at most `max` numbers; returns how many there were.
int SplitNumbers(const char* text, long long* numbers, int max) {
    char buffer[128];
    if (text == nullptr || strlen(text) >= sizeof(buffer)) return -1;
    strcpy(buffer, text);
    int count = 0;
    char* cursor = buffer;
    for (;;) {
        char* colon = strchr(cursor, ':');
        if (colon != nullptr) *colon = '\0';
        if (count == max || !ParseNumber(cursor, -0x80000000LL, 0xFFFFFFFFLL, &numbers[count])) return -1;
        count++;
        if (colon == nullptr) return count;
        cursor = colon + 1;
    }
}

SimSlave* SlaveAt(SimSegment* segment, int position) { return segment->slaves[static_cast<size_t>(position - 1)]; }

}  // namespace

int SimEepromParseOption(SimSegment* segment, const char* option, const char* value) {
    if (option == nullptr) return 0;
    if (strncmp(option, "--", 2) == 0) option += 2;
    static const char* const kOptions[] = {
        "eeprom-dir", "image", "name", "identity", "no-strings", "eight-byte", "mailbox-size", "eeprom-latency",
        "eeprom-nack", "eeprom-busy-stuck", "eeprom-no-answer", "vanish-after-writes", "vanish-at-write", "alias",
        "sii-word", "general", "eeprom-bad-words", "eeprom-nack-writes", "come-back-after",
    };
    bool known = false;
    for (const char* name : kOptions) known = known || strcmp(option, name) == 0;
    if (!known) return 0;
    if (value == nullptr) return Fail(option, "", "a value");
    SimEepromAttach(segment);
    int count = static_cast<int>(segment->slaves.size());

    if (strcmp(option, "eeprom-dir") == 0) {
        if (mkdir(value, 0755) != 0 && errno != EEXIST) {
            fprintf(stderr, "ecsim: --eeprom-dir: cannot create %s: %s\n", value, strerror(errno));
            return -1;
        }
        for (int n = 1; n <= count; n++) {
            char path[kSimEepromPathBytes];
            if (snprintf(path, sizeof(path), "%s/slave-%d.bin", value, n) >= static_cast<int>(sizeof(path)))
                return Fail(option, value, "a shorter folder name");
            if (!SimEepromBindFile(SlaveAt(segment, n), path)) return -1;
            SimSlavePowerOn(SlaveAt(segment, n));
        }
        return 1;
    }
    if (strcmp(option, "eeprom-latency") == 0) {
        long long numbers[2];
        if (SplitNumbers(value, numbers, 2) != 2 || numbers[0] < 0 || numbers[1] < 0 || numbers[0] > 10000000 ||
            numbers[1] > 10000000)
            return Fail(option, value, "READ_US:WRITE_US");
        for (SimSlave* slave : segment->slaves)
            SimEepromSetLatency(slave, static_cast<uint32_t>(numbers[0]), static_cast<uint32_t>(numbers[1]));
        return 1;
    }

    Selection selection{};
    const char* rest = nullptr;
    if (!SplitSelector(segment, value, &selection, &rest)) return Fail(option, value, "a slave selector (N, A-B or all) first");
    bool takes_rest = strcmp(option, "no-strings") != 0 && strcmp(option, "eight-byte") != 0 &&
                      strcmp(option, "eeprom-busy-stuck") != 0;
    if (takes_rest != (rest != nullptr)) return Fail(option, value, takes_rest ? "SEL:VALUE" : "SEL alone");

    // Check the value once, then apply it to each selected slave.
    long long numbers[8] = {0};
    int fields = 0;
    if (strcmp(option, "identity") == 0) {
        if (SplitNumbers(rest, numbers, 3) != 3 || numbers[0] < 0 || numbers[1] < 0 || numbers[2] < 0)
            return Fail(option, value, "SEL:VENDOR:PRODUCT:REVISION");
    } else if (strcmp(option, "mailbox-size") == 0) {
        if (!ParseNumber(rest, 0, 0x7800, &numbers[0])) return Fail(option, value, "SEL:BYTES (0 to 30720)");
    } else if (strcmp(option, "eeprom-nack") == 0) {
        if (strcmp(rest, "all") != 0 && !ParseNumber(rest, 0, 1000000000, &numbers[0]))
            return Fail(option, value, "SEL:K or SEL:all");
    } else if (strcmp(option, "eeprom-nack-writes") == 0) {
        if (strcmp(rest, "all") != 0 && !ParseNumber(rest, 0, 1000000000, &numbers[0]))
            return Fail(option, value, "SEL:K or SEL:all");
    } else if (strcmp(option, "come-back-after") == 0) {
        if (!ParseNumber(rest, 0, 86400000, &numbers[0])) return Fail(option, value, "SEL:MS (0 to 86400000)");
    } else if (strcmp(option, "eeprom-no-answer") == 0) {
        if (!ParseNumber(rest, 0, 0xFFFF, &numbers[0])) return Fail(option, value, "SEL:REGISTER");
    } else if (strcmp(option, "vanish-after-writes") == 0 || strcmp(option, "vanish-at-write") == 0) {
        if (!ParseNumber(rest, 1, 1000000000, &numbers[0])) return Fail(option, value, "SEL:K (1 or more)");
    } else if (strcmp(option, "alias") == 0) {
        if (!ParseNumber(rest, 0, 0xFFFF, &numbers[0])) return Fail(option, value, "SEL:ALIAS (0 to 65535)");
    } else if (strcmp(option, "sii-word") == 0) {
        if (SplitNumbers(rest, numbers, 2) != 2 || numbers[0] < 0 || numbers[0] >= kSimEepromWords || numbers[1] < 0 ||
            numbers[1] > 0xFFFF)
            return Fail(option, value, "SEL:WORD:VALUE");
    } else if (strcmp(option, "general") == 0) {
        fields = SplitNumbers(rest, numbers, 6);
        bool bytes_ok = fields == 6;
        for (int i = 0; bytes_ok && i < 5; i++) bytes_ok = numbers[i] >= 0 && numbers[i] <= 0xFF;
        if (!bytes_ok || numbers[5] < -32768 || numbers[5] > 32767)
            return Fail(option, value, "SEL:COE:FOE:EOE:SOE:FLAGS:CURRENT_MA");
    } else if (strcmp(option, "eeprom-bad-words") == 0) {
        if (SplitNumbers(rest, numbers, 2) != 2 || numbers[0] < 0 || numbers[0] >= kSimEepromWords || numbers[1] < 1 ||
            numbers[1] > kSimEepromWords)
            return Fail(option, value, "SEL:FIRST_WORD:COUNT");
    } else if (strcmp(option, "name") == 0) {
        if (strlen(rest) > 255) return Fail(option, value, "SEL:TEXT of at most 255 bytes");
    }

    for (int n = selection.first; n <= selection.last; n++) {
        SimSlave* slave = SlaveAt(segment, n);
        SimEeprom& e = slave->eeprom;
        if (strcmp(option, "image") == 0) {
            if (!SimEepromBindFile(slave, rest)) return -1;
        } else if (strcmp(option, "name") == 0) {
            SimEepromSetName(slave, rest);
        } else if (strcmp(option, "no-strings") == 0) {
            SimEepromSetName(slave, nullptr);
        } else if (strcmp(option, "identity") == 0) {
            SimEepromSetIdentity(slave, static_cast<uint32_t>(numbers[0]), static_cast<uint32_t>(numbers[1]),
                                 static_cast<uint32_t>(numbers[2]));
        } else if (strcmp(option, "eight-byte") == 0) {
            SimEepromSetEightByteReads(slave, true);
        } else if (strcmp(option, "mailbox-size") == 0) {
            SimEepromSetMailboxSize(slave, static_cast<uint16_t>(numbers[0]));
        } else if (strcmp(option, "eeprom-nack") == 0) {
            if (strcmp(rest, "all") == 0)
                e.faults.nack_all = true;
            else
                e.faults.nack_first = static_cast<int>(numbers[0]);
        } else if (strcmp(option, "eeprom-nack-writes") == 0) {
            if (strcmp(rest, "all") == 0)
                e.faults.nack_writes_all = true;
            else
                e.faults.nack_writes_first = static_cast<int>(numbers[0]);
        } else if (strcmp(option, "come-back-after") == 0) {
            e.faults.come_back = true;
            e.faults.come_back_after_ms = static_cast<uint32_t>(numbers[0]);
        } else if (strcmp(option, "eeprom-busy-stuck") == 0) {
            e.faults.busy_stuck = true;
        } else if (strcmp(option, "eeprom-no-answer") == 0) {
            e.faults.no_answer_register = static_cast<int>(numbers[0]);
        } else if (strcmp(option, "vanish-after-writes") == 0) {
            e.faults.vanish_after_writes = static_cast<int>(numbers[0]);
        } else if (strcmp(option, "vanish-at-write") == 0) {
            e.faults.vanish_at_write = static_cast<int>(numbers[0]);
        } else if (strcmp(option, "eeprom-bad-words") == 0) {
            e.faults.bad_words_first = static_cast<uint16_t>(numbers[0]);
            e.faults.bad_words_count = static_cast<uint16_t>(numbers[1]);
        } else if (strcmp(option, "alias") == 0) {
            SimEepromSetAlias(slave, static_cast<uint16_t>(numbers[0]));
        } else if (strcmp(option, "sii-word") == 0) {
            SimEepromSetWord(slave, static_cast<uint16_t>(numbers[0]), static_cast<uint16_t>(numbers[1]));
        } else if (strcmp(option, "general") == 0) {
            SiiGeneral general{};
            general.coe_details = static_cast<uint8_t>(numbers[0]);
            general.foe_details = static_cast<uint8_t>(numbers[1]);
            general.eoe_details = static_cast<uint8_t>(numbers[2]);
            general.soe_channels = static_cast<uint8_t>(numbers[3]);
            general.flags = static_cast<uint8_t>(numbers[4]);
            general.ebus_current = static_cast<int16_t>(numbers[5]);
            SimEepromSetGeneral(slave, general);
        }
        // The slave starts as it would with this EEPROM: alias, PDI control and the
        // checksum state come from the (new) image.
        SimSlavePowerOn(slave);
    }
    return 1;
}

const char* SimEepromOptionHelp() {
    return "EEPROM options (SEL: a slave N, a range A-B, or all):\n"
           "  --eeprom-dir DIR            image of slave N in DIR/slave-N.bin: loaded when present, created\n"
           "                              from the default otherwise; EEPROM writes go back to the file\n"
           "  --image SEL:FILE            the same for one file (shared by all selected slaves)\n"
           "  --name SEL:TEXT             string 1 of the strings category (at most 255 bytes)\n"
           "  --no-strings SEL            no strings category\n"
           "  --identity SEL:VENDOR:PRODUCT:REVISION\n"
           "  --general SEL:COE:FOE:EOE:SOE:FLAGS:CURRENT_MA   general category\n"
           "  --alias SEL:VALUE           station alias (word 4), checksum recomputed\n"
           "  --sii-word SEL:WORD:VALUE   any word, checksum left as it is\n"
           "  --mailbox-size SEL:BYTES    both mailboxes (write at 0x1000, read behind it); 0 = none\n"
           "  --eight-byte SEL            the EEPROM interface delivers 8 bytes per read\n"
           "  --eeprom-latency READ_US:WRITE_US   busy time per command (default 250:5000)\n"
           "  --eeprom-nack SEL:K         NACK the first K commands (K = all: every command)\n"
           "  --eeprom-nack-writes SEL:K  NACK the first K write commands (K = all: every write\n"
           "                              command); reads pass\n"
           "  --eeprom-busy-stuck SEL     a started command never finishes\n"
           "  --eeprom-bad-words SEL:FIRST:COUNT  reads and writes of these words are NACKed\n"
           "  --eeprom-no-answer SEL:REG  reads of register REG (2 bytes) are not answered\n"
           "  --vanish-after-writes SEL:K the slave drops off the line after its K-th EEPROM write\n"
           "  --vanish-at-write SEL:K     the slave drops off the line as its K-th EEPROM write command\n"
           "                              arrives; that write is never carried out (1: before the first).\n"
           "                              With either, the slaves behind it drop off too; each fires once\n"
           "  --come-back-after SEL:MS    a slave that dropped off through --vanish-at-write or\n"
           "                              --vanish-after-writes is back on the line MS milliseconds later,\n"
           "                              with the slaves behind it; it kept its power and registers. Its\n"
           "                              EEPROM then holds every write it took: the K-th write of\n"
           "                              --vanish-after-writes is done, that of --vanish-at-write is not\n"
           "Options apply in command-line order; image edits are written to a bound file.\n";
}
