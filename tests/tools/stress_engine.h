// Concurrent host calls, every byte checked: the engine behind tests/tools/stress_probe
// (against ecsim) and tests/unit/test_concurrency.cpp (against the in-process segment).
//
// Several threads call the exported functions at once, each on slaves of its own (thread
// t owns slaves t+1, t+1+threads, ...), as ecdevice.h allows. Per owned slave a round
// makes these calls:
//   - FPRead of the station address (register 0x0010: 0x1000 + slave): the same
//     register and length on every slave, so a reply that reached the wrong caller shows
//     as another slave's address;
//   - SdoRead of 0x4001:00, 1200 bytes (byte i is i & 0xFF), segmented;
//   - SdoRead of an object whose content is known, in turn: expedited (0x1000, 0x6000,
//     0x1018:04, which holds the slave's position), normal (0x1008), complete access
//     (0x2000); every fourth round 0x4002:00, 5000 bytes (byte i is i & 0xFF);
//   - SdoWrite of a pattern to 0x2100:00 (expedited 1-4 bytes, normal, segmented 1200 or
//     5000 bytes) and SdoRead of it;
//   - FPWrite of a pattern into ESC memory 0x1800 (1..256 bytes; the same address on
//     every slave, the bytes differ) and FPRead of the 256 bytes there; the same with 64
//     bytes at an address of the slave's own (0x1C00 + 0x40 * ((slave - 1) % 16));
//   - every fourth round, when registers are on: WriteRegister of a value that names
//     thread and slave and ReadRegister of it, and ReadRegister of a register nobody
//     writes (it reads as position << 24 | register).
// Patterns come from a generator seeded per thread, so no two threads write the same
// bytes. The checker keeps per object, memory area and register every content the slave
// may hold: a write that reported success leaves only its own, one that reported failure
// may or may not have been carried out. A read that reports success must return one of
// them, with its size; else it is a wrong success. Failures (a result of 0 or below, 0
// from ReadRegister) are counted apart.
//
// The segment must hold 0x4001:00 (1200 bytes) and 0x4002:00 (5000 bytes) as octet
// strings of counting bytes on every slave used; ecsim: --object all:0x4001:0:ro-octets:1200
// --object all:0x4002:0:ro-octets:5000.
//
// Every call's duration is taken from the clock; per kind of call the longest and the
// longest divided by the timeout the call was given are kept.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "api/ecdevice.h"
#include "link/clock.h"

namespace stress {

using Bytes = std::vector<uint8_t>;

enum Kind {
    kFpReadStation,
    kFpWrite,
    kFpReadBack,
    kSdoReadExpedited,
    kSdoReadNormal,
    kSdoReadSegmented,
    kSdoWriteExpedited,
    kSdoWriteNormal,
    kSdoWriteSegmented,
    kSdoReadBack,
    kRegisterRead,
    kRegisterWriteRead,
    kKinds
};

inline const char* KindName(int kind) {
    static const char* const kNames[kKinds] = {
        "fp-read-station", "fp-write",          "fp-read-back",      "sdo-read-expedited",
        "sdo-read-normal", "sdo-read-segmented", "sdo-write-expedited", "sdo-write-normal",
        "sdo-write-segmented", "sdo-read-back",  "register-read",     "register-write-read"};
    return kNames[kind];
}

// Kinds whose call is one exchange bounded by the timeout it is given: a datagram, or
// an expedited SDO transfer (one request, one answer).
inline bool KindIsDatagram(int kind) { return kind == kFpReadStation || kind == kFpWrite || kind == kFpReadBack; }
inline bool KindIsExpeditedSdo(int kind) { return kind == kSdoReadExpedited || kind == kSdoWriteExpedited; }

struct Config {
    int slaves = 3;             // slaves 1..slaves are used
    int threads = 3;            // at most `slaves`
    int rounds = 0;             // rounds per owned slave; 0: run for `seconds`
    double seconds = 5.0;
    int32_t sdo_timeout_us = 200000;
    int32_t fp_timeout_us = 10000;
    bool registers = true;
    uint64_t seed = 1;
    int notes_per_thread = 8;  // wrong successes described, per thread
    // A thread stops after more failures than this (0: never). Where no call is to fail,
    // a few failures already tell; a master stuck in failures would otherwise spend a
    // whole timeout on every further call.
    long stop_after_failures = 0;
};

struct Tally {
    long calls = 0;
    long ok = 0;
    long failed = 0;
    long wrong = 0;
    uint64_t max_us = 0;    // longest call
    double max_ratio = 0;   // longest call divided by its timeout (kinds with a timeout)
};

struct Result {
    Tally kinds[kKinds];
    std::vector<std::string> notes;     // wrong successes, described
    std::vector<std::string> failures;  // failed calls, described: result and duration
    long rounds = 0;

    Tally Total() const {
        Tally t;
        for (const Tally& k : kinds) {
            t.calls += k.calls;
            t.ok += k.ok;
            t.failed += k.failed;
            t.wrong += k.wrong;
        }
        return t;
    }
    double MaxRatio(bool (*which)(int)) const {
        double m = 0;
        for (int k = 0; k < kKinds; k++)
            if (which(k) && kinds[k].max_ratio > m) m = kinds[k].max_ratio;
        return m;
    }
};

constexpr int kObjectMedium = 0x4001;
constexpr int kObjectMediumBytes = 1200;
constexpr int kObjectLarge = 0x4002;
constexpr int kObjectLargeBytes = 5000;
constexpr int kPatternObject = 0x2100;
constexpr int kSharedArea = 0x1800;
constexpr int kSharedAreaBytes = 256;
constexpr int kOwnAreaBase = 0x1C00;
constexpr int kOwnAreaBytes = 64;
constexpr int kWrittenRegisterBase = 0x10;
constexpr int kWrittenRegisters = 4;
constexpr int kReadCapacity = 8192;
constexpr size_t kMaxCandidates = 32;  // beyond this a content is taken as unknown

inline uint64_t NowMicros() {
    TimeStamp t = ClockNow();
    return static_cast<uint64_t>(t.seconds) * 1000000u + static_cast<uint64_t>(t.microseconds);
}

inline Bytes Counting(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++) b[i] = static_cast<uint8_t>(i);
    return b;
}

inline Bytes Little32(uint32_t v) {
    return Bytes{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

// What a stored content may be: a set of byte strings, or unknown after too many
// unconfirmed writes (the next successful read is then taken as it is).
struct Candidates {
    std::vector<Bytes> set;
    bool unknown = true;

    void Only(const Bytes& b) {
        set.assign(1, b);
        unknown = false;
    }
    void Maybe(const Bytes& b) {
        if (unknown) return;
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

struct OwnedSlave {
    int number = 0;
    Candidates pattern;           // 0x2100:00
    Candidates shared_area;       // 256 bytes at kSharedArea
    Candidates own_area;          // 64 bytes at the slave's own address
    Candidates registers[kWrittenRegisters];
    int OwnArea() const { return kOwnAreaBase + 0x40 * ((number - 1) % 16); }
};

class Worker {
public:
    Worker(const Config& config, int thread) : config_(config), thread_(thread) {
        rng_ = 0x9E3779B97F4A7C15ULL ^ (config.seed * 0x100000001B3ULL) ^ (static_cast<uint64_t>(thread + 1) << 40);
        for (int s = thread + 1; s <= config.slaves; s += config.threads) {
            OwnedSlave owned;
            owned.number = s;
            for (int r = 0; r < kWrittenRegisters; r++)  // never written before this run
                owned.registers[r].Only(Little32((static_cast<uint32_t>(s) << 24) |
                                                 static_cast<uint32_t>(kWrittenRegisterBase + r)));
            slaves_.push_back(owned);
        }
    }

    void Run(uint64_t end_us) {
        for (OwnedSlave& s : slaves_) Anchor(s);
        for (long round = 0;; round++) {
            if (config_.rounds > 0 ? round >= config_.rounds : NowMicros() >= end_us) break;
            if (config_.stop_after_failures > 0 && failures_ > config_.stop_after_failures) break;
            for (OwnedSlave& s : slaves_) Round(s, round);
            result_.rounds++;
        }
    }

    const Result& result() const { return result_; }

private:
    uint32_t Random() {
        rng_ ^= rng_ >> 12;
        rng_ ^= rng_ << 25;
        rng_ ^= rng_ >> 27;
        return static_cast<uint32_t>((rng_ * 0x2545F4914F6CDD1DULL) >> 32);
    }
    uint32_t Below(uint32_t n) { return Random() % n; }
    Bytes RandomBytes(size_t n) {
        Bytes b(n);
        for (uint8_t& byte : b) byte = static_cast<uint8_t>(Random());
        return b;
    }

    void Count(Kind kind, bool failed, bool ok, uint64_t elapsed_us, int32_t timeout_us, int slave = 0,
               int result = 0) {
        Tally& t = result_.kinds[kind];
        t.calls++;
        if (failed) {
            t.failed++;
            failures_++;
            if (static_cast<int>(result_.failures.size()) < config_.notes_per_thread)
                result_.failures.push_back("thread " + std::to_string(thread_) + " slave " + std::to_string(slave) +
                                           " " + KindName(kind) + ": result " + std::to_string(result) + " after " +
                                           std::to_string(elapsed_us) + " us (timeout " +
                                           std::to_string(timeout_us) + " us)");
        }
        else if (ok) {
            t.ok++;
        } else {
            t.wrong++;
        }
        if (elapsed_us > t.max_us) t.max_us = elapsed_us;
        if (timeout_us > 0) {
            double ratio = static_cast<double>(elapsed_us) / timeout_us;
            if (ratio > t.max_ratio) t.max_ratio = ratio;
        }
    }

    static std::string Hex(const uint8_t* b, size_t n) {
        std::string s;
        char two[4];
        for (size_t i = 0; i < n && i < 16; i++) {
            snprintf(two, sizeof(two), "%02x", b[i]);
            s += two;
        }
        if (n > 16) s += "..(" + std::to_string(n) + " bytes)";
        return s;
    }

    void Note(Kind kind, int slave, const char* what, int result, const uint8_t* got, size_t got_size,
              const Candidates& expected) {
        if (static_cast<int>(result_.notes.size()) >= config_.notes_per_thread) return;
        std::string text = "thread " + std::to_string(thread_) + " slave " + std::to_string(slave) + " " +
                           KindName(kind) + " " + what + ": result " + std::to_string(result) + ", got " +
                           Hex(got, got_size) + ", expected";
        if (expected.set.empty()) text += " nothing";
        for (size_t i = 0; i < expected.set.size() && i < 3; i++) text += " " + Hex(expected.set[i].data(), expected.set[i].size());
        if (expected.set.size() > 3) text += " (or " + std::to_string(expected.set.size() - 3) + " more)";
        if (expected.set.size() == 1) {
            // Where the bytes part: long contents often differ only past the shown start.
            const Bytes& want = expected.set[0];
            size_t common = got_size < want.size() ? got_size : want.size();
            size_t at = 0;
            while (at < common && got[at] == want[at]) at++;
            if (at < common)
                text += "; first difference at byte " + std::to_string(at) + ": got " + Hex(got + at, common - at) +
                        ", expected " + Hex(want.data() + at, common - at);
        }
        result_.notes.push_back(text);
    }

    // Makes the content of the slave's pattern object and memory areas known.
    void Anchor(OwnedSlave& s) {
        for (int attempt = 0; attempt < 5 && s.pattern.unknown; attempt++) PatternWrite(s, 1 + Below(4));
        for (int attempt = 0; attempt < 5 && s.shared_area.unknown; attempt++)
            MemoryWrite(s, kSharedArea, kSharedAreaBytes, kSharedAreaBytes, &s.shared_area);
        for (int attempt = 0; attempt < 5 && s.own_area.unknown; attempt++)
            MemoryWrite(s, s.OwnArea(), kOwnAreaBytes, kOwnAreaBytes, &s.own_area);
    }

    void Round(OwnedSlave& s, long round) {
        StationRead(s);
        KnownRead(s, kObjectMedium, 0, 0, Counting(kObjectMediumBytes), kSdoReadSegmented);
        switch (round % 5) {
            case 0: KnownRead(s, 0x1000, 0, 0, Little32(0x00020192), kSdoReadExpedited); break;
            case 1: KnownRead(s, 0x6000, 0, 0, Bytes{0x34, 0x12}, kSdoReadExpedited); break;
            case 2: KnownRead(s, 0x1018, 4, 0, Little32(static_cast<uint32_t>(s.number)), kSdoReadExpedited); break;
            case 3:
                KnownRead(s, 0x1008, 0, 0, Bytes{'e', 'c', 's', 'i', 'm', ' ', 's', 'l', 'a', 'v', 'e'},
                          kSdoReadNormal);
                break;
            default:
                KnownRead(s, 0x2000, 0, 1, Bytes{0x03, 0x00, 0x11, 0x22, 0x22, 0x33, 0x33, 0x33, 0x33}, kSdoReadNormal);
                break;
        }
        if (round % 4 == 3) KnownRead(s, kObjectLarge, 0, 0, Counting(kObjectLargeBytes), kSdoReadSegmented);
        // Sizes in turn: expedited, normal, expedited, segmented 1200, expedited, normal,
        // expedited, segmented 5000.
        static const int kSizeClass[8] = {0, 1, 0, 2, 0, 1, 0, 3};
        int size_class = kSizeClass[round % 8];
        size_t size = size_class == 0   ? 1 + Below(4)
                      : size_class == 1 ? 5 + Below(100)
                      : size_class == 2 ? 1200
                                        : 5000;
        PatternWrite(s, size);
        PatternRead(s);
        MemoryWrite(s, kSharedArea, 1 + static_cast<int>(Below(kSharedAreaBytes)), kSharedAreaBytes, &s.shared_area);
        MemoryRead(s, kSharedArea, kSharedAreaBytes, &s.shared_area);
        MemoryWrite(s, s.OwnArea(), 1 + static_cast<int>(Below(kOwnAreaBytes)), kOwnAreaBytes, &s.own_area);
        MemoryRead(s, s.OwnArea(), kOwnAreaBytes, &s.own_area);
        if (config_.registers && round % 4 == 1) {
            RegisterWriteThenRead(s);
            RegisterReadUnwritten(s);
        }
    }

    void StationRead(OwnedSlave& s) {
        uint8_t data[2] = {0xA5, 0xA5};
        uint64_t start = NowMicros();
        int result = FPRead(s.number, 0x0010, 2, data, config_.fp_timeout_us);
        uint64_t elapsed = NowMicros() - start;
        if (result <= 0) {
            Count(kFpReadStation, true, false, elapsed, config_.fp_timeout_us, s.number, result);
            return;
        }
        uint16_t expected = static_cast<uint16_t>(0x1000 + s.number);
        bool ok = static_cast<uint16_t>(data[0] | (data[1] << 8)) == expected;
        if (!ok) {
            Candidates c;
            c.Only(Bytes{uint8_t(expected), uint8_t(expected >> 8)});
            Note(kFpReadStation, s.number, "register 0x0010", result, data, 2, c);
        }
        Count(kFpReadStation, false, ok, elapsed, config_.fp_timeout_us);
    }

    void KnownRead(OwnedSlave& s, int index, int subindex, int complete_access, const Bytes& content, Kind kind) {
        static thread_local uint8_t data[kReadCapacity];
        memset(data, 0xA5, sizeof(data));
        int size = kReadCapacity;
        uint64_t start = NowMicros();
        int result = SdoRead(s.number, index, subindex, complete_access, &size, data, config_.sdo_timeout_us);
        uint64_t elapsed = NowMicros() - start;
        if (result <= 0) {
            Count(kind, true, false, elapsed, config_.sdo_timeout_us, s.number, result);
            return;
        }
        bool ok = size == static_cast<int>(content.size()) && memcmp(data, content.data(), content.size()) == 0;
        if (!ok) {
            Candidates c;
            c.Only(content);
            char what[40];
            snprintf(what, sizeof(what), "0x%04x:%02x%s", index, subindex, complete_access ? " complete" : "");
            Note(kind, s.number, what, result, data, size >= 0 && size <= kReadCapacity ? size : 0, c);
        }
        Count(kind, false, ok, elapsed, config_.sdo_timeout_us);
    }

    void PatternWrite(OwnedSlave& s, size_t size) {
        Bytes pattern = RandomBytes(size);
        Kind kind = size <= 4 ? kSdoWriteExpedited : size < 1000 ? kSdoWriteNormal : kSdoWriteSegmented;
        uint64_t start = NowMicros();
        int result = SdoWrite(s.number, kPatternObject, 0, 0, static_cast<int>(size), pattern.data(),
                              config_.sdo_timeout_us);
        uint64_t elapsed = NowMicros() - start;
        if (result > 0)
            s.pattern.Only(pattern);
        else
            s.pattern.Maybe(pattern);
        Count(kind, result <= 0, true, elapsed, config_.sdo_timeout_us, s.number, result);
    }

    void PatternRead(OwnedSlave& s) {
        static thread_local uint8_t data[kReadCapacity];
        memset(data, 0xA5, sizeof(data));
        int size = kReadCapacity;
        uint64_t start = NowMicros();
        int result = SdoRead(s.number, kPatternObject, 0, 0, &size, data, config_.sdo_timeout_us);
        uint64_t elapsed = NowMicros() - start;
        if (result <= 0) {
            Count(kSdoReadBack, true, false, elapsed, config_.sdo_timeout_us, s.number, result);
            return;
        }
        bool size_sane = size >= 0 && size <= kReadCapacity;
        Bytes got(data, data + (size_sane ? size : 0));
        bool ok = size_sane && s.pattern.Holds(got);
        if (ok)
            s.pattern.Only(got);
        else
            Note(kSdoReadBack, s.number, "0x2100:00", result, data, got.size(), s.pattern);
        Count(kSdoReadBack, false, ok, elapsed, config_.sdo_timeout_us);
    }

    void MemoryWrite(OwnedSlave& s, int address, int length, int area_bytes, Candidates* area) {
        Bytes bytes = RandomBytes(static_cast<size_t>(length));
        uint64_t start = NowMicros();
        int result = FPWrite(s.number, address, length, bytes.data(), config_.fp_timeout_us);
        uint64_t elapsed = NowMicros() - start;
        // Working counter 1: the slave carried it out; 0: it did not; below 0: no reply
        // came, so it may have.
        if (area->unknown) {
            if (result > 0 && length == area_bytes) area->Only(bytes);
        } else if (result != 0) {
            Candidates next;
            next.unknown = false;
            for (const Bytes& old : area->set) {
                Bytes written = old;
                memcpy(written.data(), bytes.data(), static_cast<size_t>(length));
                next.set.push_back(written);
                if (result < 0) next.Maybe(old);
            }
            if (next.set.size() > kMaxCandidates) {
                next.set.clear();
                next.unknown = true;
            }
            *area = next;
        }
        Count(kFpWrite, result <= 0, true, elapsed, config_.fp_timeout_us, s.number, result);
    }

    void MemoryRead(OwnedSlave& s, int address, int length, Candidates* area) {
        uint8_t data[kSharedAreaBytes];
        memset(data, 0xA5, sizeof(data));
        uint64_t start = NowMicros();
        int result = FPRead(s.number, address, length, data, config_.fp_timeout_us);
        uint64_t elapsed = NowMicros() - start;
        if (result <= 0) {
            Count(kFpReadBack, true, false, elapsed, config_.fp_timeout_us, s.number, result);
            return;
        }
        Bytes got(data, data + length);
        bool ok = area->Holds(got);
        if (ok) {
            area->Only(got);
        } else {
            char what[24];
            snprintf(what, sizeof(what), "memory 0x%04x", address);
            Note(kFpReadBack, s.number, what, result, data, got.size(), *area);
        }
        Count(kFpReadBack, false, ok, elapsed, config_.fp_timeout_us);
    }

    void RegisterWriteThenRead(OwnedSlave& s) {
        int n = static_cast<int>(Below(kWrittenRegisters));
        int reg = kWrittenRegisterBase + n;
        // The value names thread and slave; never 0 or 0xFFFFFFFF, which read as failures.
        uint32_t value = (static_cast<uint32_t>(thread_ + 1) << 28) | (static_cast<uint32_t>(s.number & 0xFF) << 20) |
                         (Random() & 0xFFFFF) | 1u;
        uint64_t start = NowMicros();
        WriteRegister(s.number, reg, static_cast<int>(value));  // reports nothing: may or may not have happened
        s.registers[n].Maybe(Little32(value));
        int read = ReadRegister(s.number, reg);
        uint64_t elapsed = NowMicros() - start;
        if (read == 0) {
            Count(kRegisterWriteRead, true, false, elapsed, 0, s.number, read);
            return;
        }
        Bytes got = Little32(static_cast<uint32_t>(read));
        bool ok = s.registers[n].Holds(got);
        if (ok) {
            s.registers[n].Only(got);
        } else {
            char what[24];
            snprintf(what, sizeof(what), "register 0x%x", reg);
            Note(kRegisterWriteRead, s.number, what, read, got.data(), got.size(), s.registers[n]);
        }
        Count(kRegisterWriteRead, false, ok, elapsed, 0);
    }

    void RegisterReadUnwritten(OwnedSlave& s) {
        int reg = 0x100 + static_cast<int>(Below(0x100));
        uint32_t expected = (static_cast<uint32_t>(s.number) << 24) | static_cast<uint32_t>(reg);
        uint64_t start = NowMicros();
        int value = ReadRegister(s.number, reg);
        uint64_t elapsed = NowMicros() - start;
        if (value == 0) {
            Count(kRegisterRead, true, false, elapsed, 0, s.number, value);
            return;
        }
        bool ok = static_cast<uint32_t>(value) == expected;
        if (!ok) {
            Candidates c;
            c.Only(Little32(expected));
            Bytes got = Little32(static_cast<uint32_t>(value));
            char what[24];
            snprintf(what, sizeof(what), "register 0x%x", reg);
            Note(kRegisterRead, s.number, what, value, got.data(), got.size(), c);
        }
        Count(kRegisterRead, false, ok, elapsed, 0);
    }

    Config config_;
    int thread_;
    uint64_t rng_;
    std::vector<OwnedSlave> slaves_;
    Result result_;
    long failures_ = 0;
};

// Runs the threads to the end and adds up what they saw.
inline Result Run(const Config& config) {
    std::vector<Worker> workers;
    int threads = config.threads < 1 ? 1 : config.threads > config.slaves ? config.slaves : config.threads;
    Config used = config;
    used.threads = threads;
    for (int t = 0; t < threads; t++) workers.emplace_back(used, t);
    uint64_t end_us = NowMicros() + static_cast<uint64_t>(config.seconds * 1e6);
    std::vector<std::thread> running;
    for (Worker& w : workers) running.emplace_back([&w, end_us] { w.Run(end_us); });
    for (std::thread& t : running) t.join();
    Result total;
    for (const Worker& w : workers) {
        const Result& r = w.result();
        for (int k = 0; k < kKinds; k++) {
            Tally& into = total.kinds[k];
            const Tally& from = r.kinds[k];
            into.calls += from.calls;
            into.ok += from.ok;
            into.failed += from.failed;
            into.wrong += from.wrong;
            if (from.max_us > into.max_us) into.max_us = from.max_us;
            if (from.max_ratio > into.max_ratio) into.max_ratio = from.max_ratio;
        }
        total.rounds += r.rounds;
        total.notes.insert(total.notes.end(), r.notes.begin(), r.notes.end());
        total.failures.insert(total.failures.end(), r.failures.begin(), r.failures.end());
    }
    return total;
}

inline void Print(FILE* out, const Result& r) {
    for (int k = 0; k < kKinds; k++) {
        const Tally& t = r.kinds[k];
        if (t.calls == 0) continue;
        fprintf(out, "%-20s calls=%ld ok=%ld failed=%ld wrong=%ld max_ms=%.2f", KindName(k), t.calls, t.ok, t.failed,
                t.wrong, t.max_us / 1000.0);
        if (t.max_ratio > 0) fprintf(out, " max_over_timeout=%.2f", t.max_ratio);
        fputc('\n', out);
    }
    Tally total = r.Total();
    fprintf(out, "total calls=%ld ok=%ld failed=%ld wrong=%ld\n", total.calls, total.ok, total.failed, total.wrong);
    fprintf(out, "overrun datagram=%.2f sdo_expedited=%.2f\n", r.MaxRatio(KindIsDatagram), r.MaxRatio(KindIsExpeditedSdo));
}

}  // namespace stress
