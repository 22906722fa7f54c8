// The simulated slave's SII EEPROM and the ESC interface in front of it.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "sim/segment.h"
#include "sim/sim_options.h"
#include "sim/wire.h"
#include "wire/esc_registers.h"

namespace {

constexpr uint32_t kInterfaceFirst = kRegEepromConfiguration;
constexpr uint32_t kInterfaceEnd = kRegEepromInterfaceEnd;
constexpr uint16_t kEepromCommandErrors = kEepromStatusNack | kEepromStatusWriteEnableError;
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

uint32_t WordCount(const SimEeprom& e) {
    return e.word_count != 0 ? e.word_count : static_cast<uint32_t>(kSimEepromWords);
}

uint8_t ImageByte(const SimEeprom& e, uint32_t byte_address) {
    uint16_t word = e.words[(byte_address / 2) % WordCount(e)];
    return static_cast<uint8_t>(byte_address & 1 ? word >> 8 : word);
}

bool SaveImage(SimEeprom* e);

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
            e.words[e.command_address % WordCount(e)] = e.write_value;
            e.counters.words_written++;
            if (e.path[0] != '\0') {
                int end = static_cast<int>(2 * (e.command_address % WordCount(e)) + 2);
                if (end > e.file_bytes) e.file_bytes = end;
                e.unsaved = true;
                SaveImage(&e);
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
    if (e.command != kEepromCodeIdle && e.busy_until_us != kNever && now >= e.busy_until_us) Complete(slave);
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
    uint32_t word = e.address % WordCount(e);
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
    e.busy_until_us = e.faults.busy_stuck ? kNever : now + latency;
    if (command == kEepromCodeWrite && !nack) {
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
    char temporary[kSimEepromPathBytes + 8];
    snprintf(temporary, sizeof(temporary), "%s.new", e->path);
    FILE* file = fopen(temporary, "wb");
    if (file == nullptr) return false;
    // Little-endian, a piece at a time: an image may be 64 KiB.
    size_t length = static_cast<size_t>(e->file_bytes);
    bool written = true;
    uint8_t piece[512];
    for (size_t at = 0; at < length && written; at += sizeof(piece)) {
        size_t count = length - at < sizeof(piece) ? length - at : sizeof(piece);
        for (size_t i = 0; i < count; i++) {
            uint16_t word = e->words[(at + i) / 2];
            piece[i] = static_cast<uint8_t>(((at + i) & 1) != 0 ? word >> 8 : word);
        }
        written = fwrite(piece, 1, count, file) == count;
    }
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

// ---- helpers for tests and options ----

void SimEepromAttach(SimSegment* segment) {
    for (SimSlave* slave : segment->slaves) slave->eeprom.segment = segment;
}

void SimEepromSetName(SimSlave* slave, const char* name) {
    if (name == nullptr)
        SiiRemoveCategory(slave->eeprom.words, kSiiCategoryStrings);
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
    SiiRemoveCategory(slave->eeprom.words, kSiiCategoryGeneral);
    ImageChanged(slave);
}

void SimEepromSetWord(SimSlave* slave, uint16_t word, uint16_t value) {
    uint32_t at = word % WordCount(slave->eeprom);
    slave->eeprom.words[at] = value;
    int end = static_cast<int>(2 * at + 2);
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

bool SimEepromBindFileQuietly(SimSlave* slave, const char* path, char* errbuf, size_t errbuf_size) {
    SimEeprom& e = slave->eeprom;
    if (strlen(path) >= sizeof(e.path)) {
        SimOptionFail(errbuf, errbuf_size, "image path too long: %s", path);
        return false;
    }
    const size_t capacity = 2 * static_cast<size_t>(WordCount(e));
    FILE* file = fopen(path, "rb");
    if (file != nullptr) {
        // Read into a copy first: a file that is refused leaves the image as it was.
        static_assert(sizeof(e.words) == 2 * kSimEepromMaxWords, "words are 16 bits");
        uint16_t* loaded = new uint16_t[kSimEepromMaxWords];
        memset(loaded, 0xFF, sizeof(uint16_t) * kSimEepromMaxWords);  // a short file: the rest reads as erased
        size_t length = 0;
        uint8_t piece[512];
        bool failed = false, too_long = false;
        for (;;) {
            size_t n = fread(piece, 1, sizeof(piece), file);
            for (size_t i = 0; i < n && !too_long; i++, length++) {
                if (length == capacity) {
                    too_long = true;
                    break;
                }
                uint16_t& word = loaded[length / 2];
                word = static_cast<uint16_t>((length & 1) != 0 ? (word & 0x00FF) | (piece[i] << 8)
                                                               : (word & 0xFF00) | piece[i]);
            }
            if (n < sizeof(piece) || too_long) break;
        }
        failed = ferror(file) != 0;
        fclose(file);
        if (failed || too_long) {
            delete[] loaded;
            if (failed)
                SimOptionFail(errbuf, errbuf_size, "cannot read %s", path);
            else
                SimOptionFail(errbuf, errbuf_size,
                              "%s holds more than the %zu bytes of the slave's EEPROM (--eeprom-size SEL:BYTES "
                              "gives it a larger one)",
                              path, capacity);
            return false;
        }
        memcpy(e.words, loaded, sizeof(uint16_t) * kSimEepromMaxWords);
        delete[] loaded;
        memcpy(e.path, path, strlen(path) + 1);
        e.file_bytes = static_cast<int>(length);
        e.unsaved = false;
        return true;
    }
    if (errno != ENOENT) {
        SimOptionFail(errbuf, errbuf_size, "cannot open %s: %s", path, strerror(errno));
        return false;
    }
    memcpy(e.path, path, strlen(path) + 1);
    e.file_bytes = static_cast<int>(capacity);
    e.unsaved = true;
    if (!SaveImage(&e)) {
        SimOptionFail(errbuf, errbuf_size, "cannot create %s: %s", path, strerror(errno));
        e.path[0] = '\0';
        return false;
    }
    return true;
}

bool SimEepromBindFile(SimSlave* slave, const char* path) {
    char reason[kSimEepromPathBytes + 128];
    if (SimEepromBindFileQuietly(slave, path, reason, sizeof(reason))) return true;
    fprintf(stderr, "ecsim: %s\n", reason);
    return false;
}

uint32_t SimEepromWordCount(const SimEeprom* eeprom) { return WordCount(*eeprom); }

bool SimEepromSetSize(SimSlave* slave, uint32_t bytes) {
    if (bytes < 2 * kSimEepromWords || bytes > 2 * kSimEepromMaxWords || (bytes & (bytes - 1)) != 0) return false;
    SimEeprom& e = slave->eeprom;
    uint32_t words = bytes / 2;
    for (uint32_t w = WordCount(e); w < words; w++) e.words[w] = 0xFFFF;
    e.word_count = words;
    e.words[kSiiWordSize] = static_cast<uint16_t>(bytes * 8 / 1024 - 1);
    if (e.path[0] != '\0' && e.file_bytes > static_cast<int>(bytes)) e.file_bytes = static_cast<int>(bytes);
    ImageChanged(slave);
    return true;
}

void SimEepromRepowerOn(SimSlave* slave) { SimSlavePowerOn(slave); }

bool SimEepromSaveAllQuietly(SimSegment* segment, char* errbuf, size_t errbuf_size) {
    if (segment == nullptr) return true;
    bool saved = true;
    for (SimSlave* slave : segment->slaves) {
        SimEeprom& e = slave->eeprom;
        // A write cycle under way completes in the EEPROM even when nobody looks.
        if (e.command != kEepromCodeIdle && e.busy_until_us != kNever) Complete(slave);
        if (e.unsaved && !SaveImage(&e)) {
            SimOptionFail(errbuf, errbuf_size, "cannot write %s", e.path);
            saved = false;
        }
    }
    return saved;
}

void SimEepromSaveAll(SimSegment* segment) {
    if (segment == nullptr) return;
    for (SimSlave* slave : segment->slaves) {
        SimEeprom& e = slave->eeprom;
        if (e.command != kEepromCodeIdle && e.busy_until_us != kNever) Complete(slave);
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
    for (int w = 0; w < 8; w++) printf("%04x%s", WireLoad16(bytes + 2 * w), w < 7 ? " " : "\n");
    fflush(stdout);
    return 0;
}

// ---- options ----

namespace {

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
        if (count == max || !SimOptionNumber(cursor, -0x80000000LL, 0xFFFFFFFFLL, &numbers[count])) return -1;
        count++;
        if (colon == nullptr) return count;
        cursor = colon + 1;
    }
}

SimSlave* SlaveAt(SimSegment* segment, int position) { return segment->slaves[static_cast<size_t>(position - 1)]; }

// The fewest words among the selected slaves' EEPROMs: what a word number must stay below.
long long SmallestEeprom(SimSegment* segment, const SimSelection& selection) {
    uint32_t words = kSimEepromMaxWords;
    for (int n = selection.first; n <= selection.last; n++) {
        uint32_t own = WordCount(SlaveAt(segment, n)->eeprom);
        if (own < words) words = own;
    }
    return words;
}

// What the folder option appends to the folder's name.
constexpr char kLongestImageName[] = "/slave-1000.bin";

}  // namespace

int SimEepromApplyOption(SimSegment* segment, const char* option, const char* value, bool check_only, char* errbuf,
                         size_t errbuf_size) {
    if (option == nullptr) return 0;
    if (strncmp(option, "--", 2) == 0) option += 2;
    static const char* const kOptions[] = {
        "eeprom-dir", "image", "name", "identity", "no-strings", "eight-byte", "mailbox-size", "eeprom-latency",
        "eeprom-nack", "eeprom-busy-stuck", "eeprom-no-answer", "vanish-after-writes", "vanish-at-write", "alias",
        "sii-word", "general", "eeprom-bad-words", "eeprom-nack-writes", "come-back-after", "eeprom-size",
    };
    bool known = false;
    for (const char* name : kOptions) known = known || strcmp(option, name) == 0;
    if (!known) return 0;
    auto bad = [&](const char* expected) { return SimOptionBadValue(errbuf, errbuf_size, option, value, expected); };
    if (value == nullptr) return bad("a value");
    SimEepromAttach(segment);
    int count = static_cast<int>(segment->slaves.size());

    if (strcmp(option, "eeprom-dir") == 0) {
        if (value[0] == '\0') return bad("a folder");
        if (strlen(value) + sizeof(kLongestImageName) > kSimEepromPathBytes) return bad("a shorter folder name");
        if (check_only) return 1;
        if (mkdir(value, 0755) != 0 && errno != EEXIST)
            return SimOptionFail(errbuf, errbuf_size, "--eeprom-dir: cannot create %s: %s", value, strerror(errno));
        for (int n = 1; n <= count; n++) {
            char path[kSimEepromPathBytes];
            snprintf(path, sizeof(path), "%s/slave-%d.bin", value, n);
            char reason[kSimEepromPathBytes + 128];
            if (!SimEepromBindFileQuietly(SlaveAt(segment, n), path, reason, sizeof(reason)))
                return SimOptionFail(errbuf, errbuf_size, "--eeprom-dir: %s", reason);
            SimSlavePowerOn(SlaveAt(segment, n));
        }
        return 1;
    }
    if (strcmp(option, "eeprom-latency") == 0) {
        long long numbers[2];
        if (SplitNumbers(value, numbers, 2) != 2 || numbers[0] < 0 || numbers[1] < 0 || numbers[0] > 10000000 ||
            numbers[1] > 10000000)
            return bad("READ_US:WRITE_US, each 0 to 10000000");
        if (check_only) return 1;
        for (SimSlave* slave : segment->slaves)
            SimEepromSetLatency(slave, static_cast<uint32_t>(numbers[0]), static_cast<uint32_t>(numbers[1]));
        return 1;
    }

    SimSelection selection{};
    const char* rest = nullptr;
    if (SimOptionSelect(segment, option, value, &selection, &rest, errbuf, errbuf_size) < 0) return -1;
    bool takes_rest = strcmp(option, "no-strings") != 0 && strcmp(option, "eight-byte") != 0 &&
                      strcmp(option, "eeprom-busy-stuck") != 0;
    if (takes_rest != (rest != nullptr)) return bad(takes_rest ? "SEL:VALUE" : "SEL alone");

    // Check the value once, then apply it to each selected slave.
    long long numbers[8] = {0};
    int fields = 0;
    char expected[96];
    if (strcmp(option, "identity") == 0) {
        if (SplitNumbers(rest, numbers, 3) != 3 || numbers[0] < 0 || numbers[1] < 0 || numbers[2] < 0)
            return bad("SEL:VENDOR:PRODUCT:REVISION, each 0 to 0xFFFFFFFF");
    } else if (strcmp(option, "mailbox-size") == 0) {
        // A mailbox holds at least the 6-byte mailbox header, the CoE header and an SDO
        // command with its 8 bytes; the firmware handles messages of up to 1486 bytes,
        // the data one datagram carries.
        if (!SimOptionNumber(rest, 0, kSimMailboxMessageBytes, &numbers[0]) ||
            (numbers[0] > 0 && numbers[0] < kSimMailboxMinimumBytes)) {
            snprintf(expected, sizeof(expected), "SEL:BYTES, %d to %d, or 0 for no mailbox", kSimMailboxMinimumBytes,
                     kSimMailboxMessageBytes);
            return bad(expected);
        }
    } else if (strcmp(option, "eeprom-size") == 0) {
        if (!SimOptionNumber(rest, 0, 2 * kSimEepromMaxWords, &numbers[0]) || numbers[0] < 2 * kSimEepromWords ||
            (numbers[0] & (numbers[0] - 1)) != 0)
            return bad("SEL:BYTES, 4096, 8192, 16384, 32768 or 65536");
    } else if (strcmp(option, "eeprom-nack") == 0 || strcmp(option, "eeprom-nack-writes") == 0) {
        if (strcmp(rest, "all") != 0 && !SimOptionNumber(rest, 0, 1000000000, &numbers[0]))
            return bad("SEL:K (0 to 1000000000) or SEL:all");
    } else if (strcmp(option, "come-back-after") == 0) {
        if (!SimOptionNumber(rest, 0, 86400000, &numbers[0])) return bad("SEL:MS (0 to 86400000)");
    } else if (strcmp(option, "eeprom-no-answer") == 0) {
        if (!SimOptionNumber(rest, 0, 0xFFFF, &numbers[0])) return bad("SEL:REGISTER (0 to 0xFFFF)");
    } else if (strcmp(option, "vanish-after-writes") == 0 || strcmp(option, "vanish-at-write") == 0) {
        if (!SimOptionNumber(rest, 1, 1000000000, &numbers[0])) return bad("SEL:K (1 to 1000000000)");
    } else if (strcmp(option, "alias") == 0) {
        if (!SimOptionNumber(rest, 0, 0xFFFF, &numbers[0])) return bad("SEL:ALIAS (0 to 65535)");
    } else if (strcmp(option, "sii-word") == 0) {
        long long words = SmallestEeprom(segment, selection);
        if (SplitNumbers(rest, numbers, 2) != 2 || numbers[0] < 0 || numbers[0] >= words || numbers[1] < 0 ||
            numbers[1] > 0xFFFF) {
            snprintf(expected, sizeof(expected), "SEL:WORD:VALUE, WORD 0 to %lld, VALUE 0 to 0xFFFF", words - 1);
            return bad(expected);
        }
    } else if (strcmp(option, "general") == 0) {
        fields = SplitNumbers(rest, numbers, 6);
        bool bytes_ok = fields == 6;
        for (int i = 0; bytes_ok && i < 5; i++) bytes_ok = numbers[i] >= 0 && numbers[i] <= 0xFF;
        if (!bytes_ok || numbers[5] < -32768 || numbers[5] > 32767)
            return bad("SEL:COE:FOE:EOE:SOE:FLAGS:CURRENT_MA, five bytes and -32768 to 32767 mA");
    } else if (strcmp(option, "eeprom-bad-words") == 0) {
        long long words = SmallestEeprom(segment, selection);
        if (SplitNumbers(rest, numbers, 2) != 2 || numbers[0] < 0 || numbers[0] >= words || numbers[1] < 1 ||
            numbers[1] > words) {
            snprintf(expected, sizeof(expected), "SEL:FIRST_WORD:COUNT, FIRST 0 to %lld, COUNT 1 to %lld", words - 1,
                     words);
            return bad(expected);
        }
    } else if (strcmp(option, "name") == 0) {
        if (strlen(rest) > 255) return bad("SEL:TEXT of at most 255 bytes");
    } else if (strcmp(option, "image") == 0) {
        if (rest[0] == '\0' || strlen(rest) >= kSimEepromPathBytes) return bad("SEL:FILE, a path of 1 to 511 bytes");
    }
    if (check_only) return 1;

    for (int n = selection.first; n <= selection.last; n++) {
        SimSlave* slave = SlaveAt(segment, n);
        SimEeprom& e = slave->eeprom;
        if (strcmp(option, "image") == 0) {
            char reason[kSimEepromPathBytes + 128];
            if (!SimEepromBindFileQuietly(slave, rest, reason, sizeof(reason)))
                return SimOptionFail(errbuf, errbuf_size, "--image: %s", reason);
        } else if (strcmp(option, "eeprom-size") == 0) {
            SimEepromSetSize(slave, static_cast<uint32_t>(numbers[0]));
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

int SimEepromParseOption(SimSegment* segment, const char* option, const char* value) {
    char reason[kSimEepromPathBytes + 256];
    int taken = SimEepromApplyOption(segment, option, value, false, reason, sizeof(reason));
    if (taken < 0) fprintf(stderr, "ecsim: %s\n", reason);
    return taken;
}
