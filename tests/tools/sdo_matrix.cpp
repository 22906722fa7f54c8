// sdo_matrix: host-program traffic on a misbehaving segment, checked byte for byte.
//
// Runs in the master's network namespace against ecsim, which bench/fault_matrix.sh
// starts with --object 1:0x2200:0:ro-octets:600. Through the exported functions only,
// after Init, each round makes these calls on slave 1:
//   - SdoWrite of a random pattern (expedited, normal or segmented) to 0x2100:00, then
//     SdoRead of it;
//   - SdoRead of an object whose content is known (expedited, normal, segmented and
//     complete access);
//   - ReadRegister of a device register nobody writes (it reads as 1 << 24 | register);
//   - WriteRegister of a random value, then ReadRegister of that register;
//   - FPWrite of random bytes into ESC memory 0x0F80, then FPRead of the 64 bytes there.
// The checker keeps, per object, register and memory area, every content the slave may
// hold: a write that reported success leaves only its own, one that reported failure
// may or may not have been carried out. A read that reports success must return one of
// them, byte for byte and with its size; otherwise it is counted as wrong. A read or
// write that reports failure (0 or below; 0 from ReadRegister) is counted as failed,
// which a lossy segment may cause and which is acceptable.
//
//   sdo_matrix [--rounds N] [--seed S] [--timeout US] [--slaves N]
//
// Prints one line per kind of call and a total line "total calls=N ok=N failed=N wrong=N"
// on standard output, each wrong result on standard error; then "overrun datagram=R
// sdo_expedited=R": the longest FPRead/FPWrite, and the longest expedited SDO transfer
// (one request, one answer), each divided by the timeout the call was given, as the
// clock measured them. Exit status: 0 when nothing was wrong, 1 when something was, 2
// when Init found no slaves.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "api/ecdevice.h"
#include "link/clock.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kSlave = 1;
constexpr int kPatternIndex = 0x2100;  // writable octet string, 64 counting bytes at start
constexpr int kLongIndex = 0x2200;     // read-only, 600 counting bytes (defined by ecsim's option)
constexpr int kLongBytes = 600;
constexpr int kWrittenRegisters = 8;   // 0x10 .. 0x17: written and read back
constexpr int kFirstWrittenRegister = 0x10;
constexpr int kMemoryAddress = 0x0F80;
constexpr int kMemoryBytes = 64;
constexpr size_t kMaxCandidates = 32;  // beyond this a content is taken as unknown
constexpr int kReadCapacity = 2048;

enum Kind { kSdoPatternWrite, kSdoPatternRead, kSdoKnownRead, kRegisterRead, kRegisterWrittenRead, kMemoryWrite,
            kMemoryRead, kKinds };
const char* const kKindNames[kKinds] = {"sdo-write-pattern", "sdo-read-pattern", "sdo-read-known", "register-read",
                                        "register-write-read", "fp-write", "fp-read"};

struct Tally {
    int calls;
    int ok;
    int failed;
    int wrong;
};

Tally g_tally[kKinds];
int g_round;

// The longest call of a kind bounded by one timeout, divided by that timeout.
double g_datagram_overrun;
double g_expedited_overrun;
constexpr int kMemoryTimeout = 2000;

uint64_t NowMicros() {
    TimeStamp t = ClockNow();
    return static_cast<uint64_t>(t.seconds) * 1000000u + static_cast<uint64_t>(t.microseconds);
}

void Took(double* longest, uint64_t start, int timeout_us) {
    double ratio = static_cast<double>(NowMicros() - start) / timeout_us;
    if (ratio > *longest) *longest = ratio;
}

uint64_t g_rng = 0x9E3779B97F4A7C15ULL;
uint32_t Random() {
    g_rng ^= g_rng >> 12;
    g_rng ^= g_rng << 25;
    g_rng ^= g_rng >> 27;
    return static_cast<uint32_t>((g_rng * 0x2545F4914F6CDD1DULL) >> 32);
}
uint32_t RandomBelow(uint32_t n) { return Random() % n; }

Bytes RandomBytes(size_t n) {
    Bytes b(n);
    for (uint8_t& byte : b) byte = static_cast<uint8_t>(Random());
    return b;
}

Bytes Counting(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++) b[i] = static_cast<uint8_t>(i);
    return b;
}

Bytes Little32(uint32_t v) { return Bytes{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

// What a stored content may be: a set of byte strings, or unknown after too many
// unconfirmed writes (then the next successful read is taken as it is).
struct Candidates {
    std::vector<Bytes> set;
    bool unknown = false;

    void Only(const Bytes& b) {
        set.assign(1, b);
        unknown = false;
    }
    void Maybe(const Bytes& b) {
        for (const Bytes& c : set)
            if (c == b) return;
        set.push_back(b);
        if (set.size() > kMaxCandidates) {
            set.clear();
            unknown = true;
        }
    }
    bool Holds(const Bytes& b) const {
        if (unknown) return true;
        for (const Bytes& c : set)
            if (c == b) return true;
        return false;
    }
};

void PrintBytes(FILE* out, const uint8_t* b, size_t n) {
    for (size_t i = 0; i < n && i < 24; i++) fprintf(out, "%02x", b[i]);
    if (n > 24) fprintf(out, "..(%zu bytes)", n);
}

void Count(Kind kind, bool ok, bool failed) {
    Tally& t = g_tally[kind];
    t.calls++;
    if (failed)
        t.failed++;
    else if (ok)
        t.ok++;
    else
        t.wrong++;
}

void Wrong(Kind kind, const char* what, int result, const uint8_t* got, size_t got_size, const Candidates& expected) {
    fprintf(stderr, "wrong: round %d %s %s: result %d, got ", g_round, kKindNames[kind], what, result);
    PrintBytes(stderr, got, got_size);
    fprintf(stderr, ", expected one of %zu:", expected.set.size());
    for (const Bytes& c : expected.set) {
        fputc(' ', stderr);
        PrintBytes(stderr, c.data(), c.size());
    }
    fputc('\n', stderr);
}

// --- the checks -----------------------------------------------------------------------

Candidates g_pattern;
Candidates g_registers[kWrittenRegisters];
Candidates g_memory;
int g_sdo_timeout = 20000;

void PatternWrite() {
    // Expedited (1-4 bytes), normal (fits the first request of a 128-byte mailbox) or
    // segmented.
    uint32_t pick = RandomBelow(4);
    size_t size = pick == 0 ? 1 + RandomBelow(4) : pick == 1 ? 5 + RandomBelow(108) : 113 + RandomBelow(600);
    Bytes pattern = RandomBytes(size);
    uint64_t start = NowMicros();
    int result = SdoWrite(kSlave, kPatternIndex, 0, 0, static_cast<int>(size), pattern.data(), g_sdo_timeout);
    if (size <= 4) Took(&g_expedited_overrun, start, g_sdo_timeout);
    if (result > 0)
        g_pattern.Only(pattern);
    else
        g_pattern.Maybe(pattern);
    Count(kSdoPatternWrite, true, result <= 0);
}

void PatternRead() {
    uint8_t data[kReadCapacity];
    memset(data, 0xA5, sizeof(data));
    int size = kReadCapacity;
    int result = SdoRead(kSlave, kPatternIndex, 0, 0, &size, data, g_sdo_timeout);
    if (result <= 0) {
        Count(kSdoPatternRead, false, true);
        return;
    }
    Bytes got(data, data + (size >= 0 && size <= kReadCapacity ? size : 0));
    bool ok = size >= 0 && size <= kReadCapacity && g_pattern.Holds(got);
    if (ok)
        g_pattern.Only(got);
    else
        Wrong(kSdoPatternRead, "0x2100:00", result, data, got.size(), g_pattern);
    Count(kSdoPatternRead, ok, false);
}

struct KnownObject {
    int index;
    int subindex;
    int complete_access;
    Bytes content;
};

void KnownRead(const std::vector<KnownObject>& objects) {
    const KnownObject& object = objects[RandomBelow(static_cast<uint32_t>(objects.size()))];
    uint8_t data[kReadCapacity];
    memset(data, 0xA5, sizeof(data));
    int size = kReadCapacity;
    uint64_t start = NowMicros();
    int result = SdoRead(kSlave, object.index, object.subindex, object.complete_access, &size, data, g_sdo_timeout);
    if (object.complete_access == 0 && object.content.size() <= 4) Took(&g_expedited_overrun, start, g_sdo_timeout);
    if (result <= 0) {
        Count(kSdoKnownRead, false, true);
        return;
    }
    bool ok = size == static_cast<int>(object.content.size()) && memcmp(data, object.content.data(), size) == 0;
    if (!ok) {
        Candidates expected;
        expected.Only(object.content);
        char what[32];
        snprintf(what, sizeof(what), "0x%04x:%02x%s", object.index, object.subindex,
                 object.complete_access ? " complete" : "");
        Wrong(kSdoKnownRead, what, result, data, size >= 0 && size <= kReadCapacity ? size : 0, expected);
    }
    Count(kSdoKnownRead, ok, false);
}

void RegisterReadUnwritten() {
    int reg = 0x100 + static_cast<int>(RandomBelow(0x100));
    uint32_t expected = (static_cast<uint32_t>(kSlave) << 24) | static_cast<uint32_t>(reg);
    int value = ReadRegister(kSlave, reg);
    if (value == 0) {  // no read succeeded
        Count(kRegisterRead, false, true);
        return;
    }
    bool ok = static_cast<uint32_t>(value) == expected;
    if (!ok) {
        Candidates c;
        c.Only(Little32(expected));
        Bytes got = Little32(static_cast<uint32_t>(value));
        char what[24];
        snprintf(what, sizeof(what), "register 0x%x", reg);
        Wrong(kRegisterRead, what, value, got.data(), got.size(), c);
    }
    Count(kRegisterRead, ok, false);
}

void RegisterWriteThenRead() {
    int n = static_cast<int>(RandomBelow(kWrittenRegisters));
    int reg = kFirstWrittenRegister + n;
    uint32_t value = 0;
    while (value == 0 || value == 0xFFFFFFFFu) value = Random();  // 0 and -1 read as failures
    WriteRegister(kSlave, reg, static_cast<int>(value));  // reports nothing: may or may not have happened
    g_registers[n].Maybe(Little32(value));
    int read = ReadRegister(kSlave, reg);
    if (read == 0) {
        Count(kRegisterWrittenRead, false, true);
        return;
    }
    Bytes got = Little32(static_cast<uint32_t>(read));
    bool ok = g_registers[n].Holds(got);
    if (ok) {
        g_registers[n].Only(got);
    } else {
        char what[24];
        snprintf(what, sizeof(what), "register 0x%x", reg);
        Wrong(kRegisterWrittenRead, what, read, got.data(), got.size(), g_registers[n]);
    }
    Count(kRegisterWrittenRead, ok, false);
}

void MemoryWrite() {
    int length = 1 + static_cast<int>(RandomBelow(kMemoryBytes));
    Bytes bytes = RandomBytes(static_cast<size_t>(length));
    uint64_t start = NowMicros();
    int result = FPWrite(kSlave, kMemoryAddress, length, bytes.data(), kMemoryTimeout);
    Took(&g_datagram_overrun, start, kMemoryTimeout);
    // Working counter 1: the slave carried it out; 0: it did not; below 0: no reply, so
    // it may have.
    if (result != 0) {
        Candidates next;
        next.unknown = g_memory.unknown;
        for (const Bytes& old : g_memory.set) {
            Bytes written = old;
            memcpy(written.data(), bytes.data(), static_cast<size_t>(length));
            next.Maybe(written);
            if (result < 0) next.Maybe(old);
        }
        g_memory = next;
    }
    Count(kMemoryWrite, true, result <= 0);
}

void MemoryRead() {
    uint8_t data[kMemoryBytes];
    memset(data, 0xA5, sizeof(data));
    uint64_t start = NowMicros();
    int result = FPRead(kSlave, kMemoryAddress, kMemoryBytes, data, kMemoryTimeout);
    Took(&g_datagram_overrun, start, kMemoryTimeout);
    if (result <= 0) {
        Count(kMemoryRead, false, true);
        return;
    }
    Bytes got(data, data + kMemoryBytes);
    bool ok = g_memory.Holds(got);
    if (ok)
        g_memory.Only(got);
    else
        Wrong(kMemoryRead, "0x0f80", result, data, got.size(), g_memory);
    Count(kMemoryRead, ok, false);
}

bool ParseArgument(int argc, char** argv, int* i, const char* name, long* out) {
    if (strcmp(argv[*i], name) != 0 || *i + 1 >= argc) return false;
    *out = strtol(argv[++*i], nullptr, 0);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    long rounds = 40, seed = 1, timeout = 20000, slaves = 2;
    for (int i = 1; i < argc; i++) {
        if (ParseArgument(argc, argv, &i, "--rounds", &rounds) || ParseArgument(argc, argv, &i, "--seed", &seed) ||
            ParseArgument(argc, argv, &i, "--timeout", &timeout) || ParseArgument(argc, argv, &i, "--slaves", &slaves))
            continue;
        fprintf(stderr, "usage: sdo_matrix [--rounds N] [--seed S] [--timeout US] [--slaves N]\n");
        return 2;
    }
    g_rng ^= static_cast<uint64_t>(seed) * 0x100000001B3ULL;
    g_sdo_timeout = static_cast<int>(timeout);

    const int found = Init();
    if (found <= 0) {
        printf("init failed: no slaves found\n");
        return 2;
    }
    int init_wrong = found != slaves ? 1 : 0;
    if (init_wrong) fprintf(stderr, "wrong: Init found %d slaves, the segment has %ld\n", found, slaves);

    const std::vector<KnownObject> known = {
        {0x1000, 0, 0, Little32(0x00020192)},                               // expedited, 4 bytes
        {0x6000, 0, 0, Bytes{0x34, 0x12}},                                  // expedited, 2 bytes
        {0x1018, 4, 0, Little32(static_cast<uint32_t>(kSlave))},           // expedited, position
        {0x1008, 0, 0, Bytes{'e', 'c', 's', 'i', 'm', ' ', 's', 'l', 'a', 'v', 'e'}},  // normal
        {0x2000, 0, 1, Bytes{0x03, 0x00, 0x11, 0x22, 0x22, 0x33, 0x33, 0x33, 0x33}},   // complete access
        {kLongIndex, 0, 0, Counting(kLongBytes)},                           // segmented
    };
    g_pattern.Only(Counting(64));
    for (int n = 0; n < kWrittenRegisters; n++) {
        const uint32_t reg = static_cast<uint32_t>(kFirstWrittenRegister + n);
        g_registers[n].Only(Little32((static_cast<uint32_t>(kSlave) << 24) | reg));  // never written before
    }
    g_memory.unknown = true;  // the first read tells what the memory holds

    for (g_round = 1; g_round <= rounds; g_round++) {
        PatternWrite();
        PatternRead();
        KnownRead(known);
        RegisterReadUnwritten();
        RegisterWriteThenRead();
        MemoryWrite();
        MemoryRead();
    }
    Deinit();

    Tally total{};
    for (int k = 0; k < kKinds; k++) {
        const Tally& t = g_tally[k];
        printf("%-20s calls=%d ok=%d failed=%d wrong=%d\n", kKindNames[k], t.calls, t.ok, t.failed, t.wrong);
        total.calls += t.calls;
        total.ok += t.ok;
        total.failed += t.failed;
        total.wrong += t.wrong;
    }
    total.wrong += init_wrong;
    printf("total calls=%d ok=%d failed=%d wrong=%d\n", total.calls, total.ok, total.failed, total.wrong);
    printf("overrun datagram=%.2f sdo_expedited=%.2f\n", g_datagram_overrun, g_expedited_overrun);
    return total.wrong == 0 ? 0 : 1;
}
