// ecsim options of the EEPROM layer: images, identity, names, sizes, latencies, faults.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "sim/eeprom_internal.h"
#include "sim/segment.h"
#include "sim/sim_options.h"

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
        uint32_t own = SimEepromWordCount(&SlaveAt(segment, n)->eeprom);
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
        if (!SimOptionNumber(rest, 0, 2 * kSimEepromMaxWords, &numbers[0]) || numbers[0] < 2 * kSimEepromMinWords ||
            (numbers[0] & (numbers[0] - 1)) != 0)
            return bad("SEL:BYTES, 2048, 4096, 8192, 16384, 32768 or 65536");
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
