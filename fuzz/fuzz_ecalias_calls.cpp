// Call sequences over libecalias (ecalias.h) on an in-process segment.
//
// The input picks the segment (1 to 4 slaves, with or without EEPROM NACKs, a damaged
// EEPROM area, lost frames) and then up to 16 calls with their arguments: positions
// around the edges of the slave table and beyond, word ranges, sizes, flags, timeouts,
// null pointers, and a close after which every call must answer EC_ECLOSED. Every
// buffer is a heap block of exactly the size the call is given, so a read or write past
// it is caught. Statuses must be documented ones, refusals the documented refusals.
//
// Input: segment byte, scan byte, then per call a call byte (% 17) and its arguments.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ecalias.h"
#include "harness.h"
#include "link/clock.h"
#include "virtual_clock.h"

namespace {

constexpr int kMaxCalls = 16;

// The segment reads the time through ClockMicros, which the link-time wrap does not
// reach: this source gives it the virtual clock too, so EEPROM busy times and SDO delays
// pass with the master's waits.
uint64_t VirtualNowUs(void*) { return VirtualClockMicros(); }
void VirtualWaitUs(void*, uint32_t microseconds) { VirtualClockAdvance(microseconds); }
const ClockSource kVirtualSource = {VirtualNowUs, VirtualWaitUs, nullptr};

struct State {
    ec_master* m;
    bool closed;
    int count;   // slaves of the last scan
    int slaves;  // slaves of the segment
};

// A scan that succeeded counted and described every slave of the segment, each at its
// position with a station address of its own.
void CheckScanned(const State& s, int count) {
    FUZZ_CHECK(count == s.slaves);
    for (int n = 1; n <= count; n++) {
        ec_slave_info info{};
        FUZZ_CHECK(ec_slave_info_get(s.m, n, &info) == EC_OK);
        FUZZ_CHECK(info.position == n && info.station_address == 0x1000 + n);
    }
}

int ChoosePosition(FuzzReader* in) {
    const uint8_t raw = in->Byte();
    if (raw & 0x80) return static_cast<int32_t>(in->Long());
    return raw % 7 - 1;  // -1..5
}

int ChooseTimeout(FuzzReader* in) {
    const uint16_t raw = in->Word();
    if (raw & 0x8000) return -static_cast<int>(raw & 0x7FFF) - 1;
    return (raw % 50) * 20000;
}

bool Documented(int status) { return status <= EC_OK && status >= EC_ENOTSCANNED; }

// The status every call on a position must give before anything else.
void CheckCommon(const State& s, int status, int position, bool position_checked = true) {
    FUZZ_CHECK(Documented(status));
    FUZZ_CHECK(strlen(ec_strerror(status)) > 0);
    if (s.closed) {
        FUZZ_CHECK(status == EC_ECLOSED);
        return;
    }
    if (position_checked && (position < 1 || position > s.count)) FUZZ_CHECK(status == EC_ENOSLAVE);
}

uint16_t* Words(uint32_t count, bool null) {
    if (null || count == 0 || count > 40000) return nullptr;
    uint16_t* words = static_cast<uint16_t*>(malloc(count * sizeof(uint16_t)));
    for (uint32_t n = 0; n < count; n++) words[n] = static_cast<uint16_t>(n * 0x101);
    return words;
}

void CallSii(State* s, FuzzReader* in, bool write) {
    const int position = ChoosePosition(in);
    const uint32_t first = in->Byte() & 0x80 ? in->Word() : in->Byte() % 0x48;
    const uint32_t count = in->Byte() & 0x80 ? in->Word() : in->Byte() % 9;
    const bool null = (in->Byte() & 15) == 0;
    const unsigned flags = in->Byte() & 1 ? EC_FORCE : 0;
    uint16_t* words = Words(count, null || count > 64);
    int status;
    if (write) {
        ec_sii_report report{};
        status = ec_sii_write(s->m, position, first, count, words, flags, &report);
        if (status == EC_OK) FUZZ_CHECK(report.verified == 1 && report.words_written == count);
        FUZZ_CHECK(report.words_written <= count);
    } else {
        status = ec_sii_read(s->m, position, first, count, words);
    }
    FuzzTrace("sii_%s(%d, %u, %u): %d", write ? "write" : "read", position, first, count, status);
    CheckCommon(*s, status, position);
    if (words == nullptr && !s->closed && position >= 1 && position <= s->count) FUZZ_CHECK(status == EC_EINVAL);
    free(words);
}

void CallSdo(State* s, FuzzReader* in, bool download) {
    const int position = ChoosePosition(in);
    const uint16_t index = in->Byte() & 1 ? 0x1018 : in->Word();
    const uint8_t subindex = in->Byte() % 6;
    const unsigned flags = in->Byte() & 1 ? EC_COMPLETE_ACCESS : 0;
    const size_t size = in->Byte() & 0x80 ? in->Long() % 70000 : in->Byte() % 40;
    const bool null = (in->Byte() & 15) == 0;
    const int timeout = ChooseTimeout(in);
    uint8_t* data = null || size == 0 || size > 65536 ? nullptr : static_cast<uint8_t*>(malloc(size));
    if (data != nullptr) memset(data, 0x5A, size);
    int status;
    if (download) {
        status = ec_sdo_download(s->m, position, index, subindex, flags, data, size, timeout);
    } else {
        size_t got = size;
        status = ec_sdo_upload(s->m, position, index, subindex, flags, data, data != nullptr ? &got : nullptr, timeout);
        if (status == EC_OK) FUZZ_CHECK(got <= size);
        else FUZZ_CHECK(got == size);
    }
    FuzzTrace("sdo_%s(%d, 0x%04x:%u, %zu): %d", download ? "download" : "upload", position, index, subindex, size,
              status);
    CheckCommon(*s, status, position);
    if (!s->closed && position >= 1 && position <= s->count && (data == nullptr || timeout < 0))
        FUZZ_CHECK(status == EC_EINVAL);
    if (status == EC_ESDOABORT) {
        ec_error_detail d{};
        FUZZ_CHECK(ec_last_error(s->m, &d) == EC_OK);
        FUZZ_CHECK(d.code == EC_ESDOABORT && d.position == position && d.sdo_abort_text != nullptr);
    }
    free(data);
}

void CallRegister(State* s, FuzzReader* in, bool write) {
    const int position = ChoosePosition(in);
    const uint16_t address = in->Word();
    const size_t length = in->Byte() & 0x80 ? in->Word() : in->Byte() % 16;
    const bool null = (in->Byte() & 15) == 0;
    const int timeout = ChooseTimeout(in);
    uint8_t* data = null || length == 0 || length > 2000 ? nullptr : static_cast<uint8_t*>(calloc(length, 1));
    const int status = write ? ec_reg_write(s->m, position, address, data, length, timeout)
                             : ec_reg_read(s->m, position, address, data, length, timeout);
    FuzzTrace("reg_%s(%d, 0x%04x, %zu): %d", write ? "write" : "read", position, address, length, status);
    CheckCommon(*s, status, position);
    if (!s->closed && position >= 1 && position <= s->count &&
        (data == nullptr || length > EC_MAX_DATAGRAM_BYTES || timeout < 0))
        FUZZ_CHECK(status == EC_EINVAL);
    free(data);
}

// The common rules of the many-slave calls: statuses documented; a refusal sets every
// entry's status to the returned code; a success is a success of every entry; else the
// returned status is the first failed entry's.
template <typename Entry>
void CheckMany(const State& s, int status, const Entry* entries, int count, bool refused_by_position) {
    FUZZ_CHECK(Documented(status));
    if (s.closed) FUZZ_CHECK(status == EC_ECLOSED);
    if (refused_by_position && !s.closed) FUZZ_CHECK(status == EC_ENOSLAVE || status == EC_EINVAL);
    // A refusal for a bad argument (EC_EINVAL) sets every entry too; so may a failure of
    // every slave, which the rule below covers as well.
    const bool refused = status == EC_ECLOSED || status == EC_ENOSLAVE || status == EC_ENOMEM;
    int first_failed = EC_OK;
    for (int k = 0; k < count; k++) {
        FUZZ_CHECK(Documented(entries[k].status));
        FUZZ_CHECK(memchr(entries[k].step, '\0', sizeof entries[k].step) != nullptr);
        if (refused) FUZZ_CHECK(entries[k].status == status);
        if (first_failed == EC_OK) first_failed = entries[k].status;
    }
    if (!refused) FUZZ_CHECK(status == first_failed);
}

void CallSiiReadMany(State* s, FuzzReader* in) {
    const int count = 1 + in->Byte() % 3;
    ec_sii_range* ranges = static_cast<ec_sii_range*>(calloc(count, sizeof(ec_sii_range)));
    bool outside = false;
    for (int k = 0; k < count; k++) {
        ranges[k].position = ChoosePosition(in);
        ranges[k].first_word = in->Byte() & 0x80 ? in->Word() : in->Byte() % 0x48;
        ranges[k].count = 1 + in->Byte() % 12;
        ranges[k].words = Words(ranges[k].count, (in->Byte() & 15) == 0);
        ranges[k].status = 12345;
        if (ranges[k].position < 1 || ranges[k].position > s->count) outside = true;
    }
    const int status = ec_sii_read_many(s->m, ranges, count);
    FuzzTrace("sii_read_many(%d ranges): %d", count, status);
    CheckMany(*s, status, ranges, count, outside);
    for (int k = 0; k < count; k++) {
        if (ranges[k].status == EC_OK) FUZZ_CHECK(ranges[k].words_read == ranges[k].count);
        FUZZ_CHECK(ranges[k].words_read <= ranges[k].count);
        free(ranges[k].words);
    }
    free(ranges);
}

void CallAliasSetMany(State* s, FuzzReader* in) {
    const int count = 1 + in->Byte() % 3;
    ec_alias_entry* entries = static_cast<ec_alias_entry*>(calloc(count, sizeof(ec_alias_entry)));
    bool outside = false;
    for (int k = 0; k < count; k++) {
        entries[k].position = ChoosePosition(in);
        entries[k].value = in->Word();
        entries[k].status = 12345;
        if (entries[k].position < 1 || entries[k].position > s->count) outside = true;
    }
    const unsigned flags = in->Byte() & 1 ? EC_FORCE : 0;
    const int status = ec_alias_set_many(s->m, entries, count, flags);
    FuzzTrace("alias_set_many(%d entries): %d", count, status);
    CheckMany(*s, status, entries, count, outside);
    for (int k = 0; k < count; k++) {
        if (entries[k].status != EC_OK) continue;
        FUZZ_CHECK(entries[k].report.alias_written == entries[k].value && entries[k].report.verified == 1);
        FUZZ_CHECK(entries[k].report.after[4] == entries[k].value);
        for (int j = 0; j < k; j++) FUZZ_CHECK(entries[j].position != entries[k].position);  // twice: refused
    }
    free(entries);
}

void CallOne(State* s, FuzzReader* in) {
    const uint8_t choice = in->Byte() % 17;
    switch (choice) {
        case 0: {
            int count = -1;
            const int status = ec_scan(s->m, &count);
            CheckCommon(*s, status, 0, false);
            if (status == EC_OK) {
                CheckScanned(*s, count);
                s->count = count;
            } else if (!s->closed) {
                s->count = 0;
            }
            break;
        }
        case 1: {
            const int position = ChoosePosition(in);
            ec_slave_info* info = static_cast<ec_slave_info*>(malloc(sizeof(ec_slave_info)));
            const int status = ec_slave_info_get(s->m, position, in->Byte() & 1 ? info : nullptr);
            CheckCommon(*s, status, position);
            if (status == EC_OK) {
                FUZZ_CHECK(info->position == position);
                FUZZ_CHECK(memchr(info->name, '\0', sizeof info->name) != nullptr);
                FUZZ_CHECK(info->complete == ((info->parts_read & EC_PART_ALL) == EC_PART_ALL));
            }
            free(info);
            break;
        }
        case 2: CallSii(s, in, false); break;
        case 3: CallSii(s, in, true); break;
        case 4: {
            const int position = ChoosePosition(in);
            const uint16_t value = in->Word();
            const unsigned flags = in->Byte() & 1 ? EC_FORCE : 0;
            ec_alias_report* report = static_cast<ec_alias_report*>(malloc(sizeof(ec_alias_report)));
            const int status = ec_alias_set(s->m, position, value, flags, in->Byte() & 1 ? report : nullptr);
            CheckCommon(*s, status, position);
            FuzzTrace("alias_set(%d, %u): %d", position, value, status);
            free(report);
            break;
        }
        case 5: CallSdo(s, in, false); break;
        case 6: CallSdo(s, in, true); break;
        case 7: CallRegister(s, in, false); break;
        case 8: CallRegister(s, in, true); break;
        case 9: {
            const int position = ChoosePosition(in);
            uint32_t value = 0;
            const int status = ec_window_read(s->m, position, in->Long(), in->Byte() & 1 ? &value : nullptr);
            CheckCommon(*s, status, position);
            break;
        }
        case 10: {
            const int position = ChoosePosition(in);
            const int status = ec_window_write(s->m, position, in->Long(), in->Long());
            CheckCommon(*s, status, position);
            break;
        }
        case 11: {
            const int position = ChoosePosition(in);
            const uint16_t state = in->Byte() % 10;
            const int timeout = ChooseTimeout(in);
            const int status = ec_state_request(s->m, position, state, timeout);
            CheckCommon(*s, status, position, position != 0);
            break;
        }
        case 12: {
            const int position = ChoosePosition(in);
            uint16_t state = 0, code = 0;
            const uint8_t which = in->Byte() % 4;
            const int status = ec_state_read(s->m, position, which & 1 ? &state : nullptr, which & 2 ? &code : nullptr);
            CheckCommon(*s, status, position);
            if (!s->closed && position >= 1 && position <= s->count && which == 0) FUZZ_CHECK(status == EC_EINVAL);
            break;
        }
        case 13: {
            ec_error_detail d{};
            const int status = ec_last_error(s->m, &d);
            FUZZ_CHECK(status == (s->closed ? EC_ECLOSED : EC_OK));
            if (status == EC_OK) {
                FUZZ_CHECK(Documented(d.code));
                FUZZ_CHECK(memchr(d.step, '\0', sizeof d.step) != nullptr);
            }
            int count = -1;
            const int counted = ec_slave_count(s->m, &count);
            FUZZ_CHECK(counted == (s->closed ? EC_ECLOSED : EC_OK));
            if (counted == EC_OK) FUZZ_CHECK(count == s->count);
            break;
        }
        case 14: CallSiiReadMany(s, in); break;
        case 15: CallAliasSetMany(s, in); break;
        default:
            // Close: every later call must answer EC_ECLOSED and send nothing.
            if (!s->closed) {
                FUZZ_CHECK(ec_close(s->m) == EC_OK);
                s->closed = true;
            }
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    VirtualClockReset(5999000000ULL);
    ClockInstall(&kVirtualSource);
    FuzzReader in = MakeReader(data, size);
    const uint8_t segment = in.Byte();
    char adapter[256];
    snprintf(adapter, sizeof adapter, "sim:--slaves %d%s%s%s", 1 + segment % 4,
             segment & 0x10 ? " --eeprom-nack 1:3" : "", segment & 0x20 ? " --eeprom-bad-words all:0x40:4" : "",
             segment & 0x40 ? " --drop 0.1 --seed 7" : "");
    State s{nullptr, false, 0, 1 + segment % 4};
    const int opened = ec_open(adapter, &s.m);
    FuzzTrace("open(%s): %d", adapter, opened);
    FUZZ_CHECK(opened == EC_OK);
    if (in.Byte() & 1) {
        const int status = ec_scan(s.m, &s.count);
        FUZZ_CHECK(status == EC_OK || status == EC_ENOFRAME);
        if (status == EC_OK) CheckScanned(s, s.count);
    }
    for (int call = 0; call < kMaxCalls && !in.Empty(); call++) CallOne(&s, &in);
    if (!s.closed) FUZZ_CHECK(ec_close(s.m) == EC_OK);
    return 0;
}
