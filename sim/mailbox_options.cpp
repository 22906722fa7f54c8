// ecsim options of the mailbox and firmware layer: objects, device registers, SDO faults.
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "sim/segment.h"
#include "sim/sim_mailbox.h"
#include "sim/sim_options.h"

namespace {

// --object SEL:INDEX:SUB:TYPE:VALUE, TYPE optionally prefixed "ro-". The value is
// checked in full before the first slave gets the object.
int ApplyObject(SimSegment* segment, const char* option, const char* value, const SimSelection& selection,
                const char* rest, bool check_only, char* errbuf, size_t errbuf_size) {
    auto bad = [&](const char* expected) { return SimOptionBadValue(errbuf, errbuf_size, option, value, expected); };
    char fields[3][24];
    const char* at = rest;
    for (int f = 0; f < 3; f++) {
        const char* colon = strchr(at, ':');
        if (colon == nullptr || colon - at >= static_cast<long>(sizeof(fields[f])))
            return bad("SEL:INDEX:SUB:TYPE:VALUE");
        memcpy(fields[f], at, static_cast<size_t>(colon - at));
        fields[f][colon - at] = '\0';
        at = colon + 1;
    }
    long long index = 0, subindex = 0;
    if (!SimOptionNumber(fields[0], 0, 0xFFFF, &index) || !SimOptionNumber(fields[1], 0, 0xFF, &subindex))
        return bad("SEL:INDEX:SUB:TYPE:VALUE with INDEX 0 to 0xFFFF and SUB 0 to 255");
    const char* type_name = fields[2];
    bool writable = true;
    if (strncasecmp(type_name, "ro-", 3) == 0) {
        writable = false;
        type_name += 3;
    }
    SimObjectType type;
    if (!SimObjectTypeParse(type_name, &type))
        return bad("TYPE bool, u8, u16, u32, u64, i8, i16, i32, i64, f32, f64, string or octets, ro- in front for "
                   "read-only");
    bool pattern = type == kSimOctets && strcasecmp(type_name, "octets") == 0;
    long long length = 0;
    uint8_t number[8];
    uint32_t number_size = 0;
    if (pattern) {
        if (!SimOptionNumber(at, 0, 65535, &length)) return bad("a length 0 to 65535 for octets");
    } else if (type != kSimOctets) {
        const char* takes = "";
        number_size = SimObjectValueParse(type, at, number, &takes);
        if (number_size == 0) {
            char expected[160];
            snprintf(expected, sizeof(expected), "a %s value, %s", type_name, takes);
            return bad(expected);
        }
    }
    if (check_only) return 1;
    std::vector<uint8_t> bytes;
    if (pattern) {
        bytes.resize(static_cast<size_t>(length));
        for (size_t i = 0; i < bytes.size(); i++) bytes[i] = static_cast<uint8_t>(i);
    } else if (type == kSimOctets) {
        bytes.assign(at, at + strlen(at));
    } else {
        bytes.assign(number, number + number_size);
    }
    for (int s = selection.first; s <= selection.last; s++)
        SimObjectDefine(segment->slaves[static_cast<size_t>(s - 1)], static_cast<uint16_t>(index),
                        static_cast<uint8_t>(subindex), type, writable, bytes.data(),
                        static_cast<uint32_t>(bytes.size()));
    return 1;
}

}  // namespace

int SimMailboxApplyOption(SimSegment* segment, const char* option, const char* value, bool check_only, char* errbuf,
                          size_t errbuf_size) {
    if (option == nullptr) return 0;
    static const char* const kOptions[] = {"--sdo-emergency", "--sdo-mbx-error", "--sdo-lose-first-read",
                                           "--sdo-refuse-read", "--sdo-stall", "--sdo-delay",
                                           "--object", "--register", "--preop-reads-sii"};
    bool ours = false;
    for (const char* name : kOptions) ours = ours || strcmp(option, name) == 0;
    if (!ours) return 0;
    auto bad = [&](const char* expected) { return SimOptionBadValue(errbuf, errbuf_size, option, value, expected); };
    if (value == nullptr || *value == '\0') return bad("a value");
    SimSelection selection{};
    const char* rest = nullptr;
    if (SimOptionSelect(segment, option, value, &selection, &rest, errbuf, errbuf_size) < 0) return -1;
    if (strcmp(option, "--preop-reads-sii") == 0) {
        if (rest != nullptr) return bad("SEL alone");
        if (check_only) return 1;
        for (int s = selection.first; s <= selection.last; s++)
            segment->slaves[static_cast<size_t>(s - 1)]->mailbox.faults.reads_sii_on_preop = true;
        return 1;
    }
    if (rest == nullptr) return bad("SEL:VALUE");
    if (strcmp(option, "--object") == 0)
        return ApplyObject(segment, option, value, selection, rest, check_only, errbuf, errbuf_size);
    if (strcmp(option, "--register") == 0) {
        const char* second = strchr(rest, ':');
        long long reg = 0, content = 0;
        char reg_text[24];
        if (second == nullptr || second - rest >= static_cast<long>(sizeof(reg_text)))
            return bad("SEL:REGISTER:VALUE");
        memcpy(reg_text, rest, static_cast<size_t>(second - rest));
        reg_text[second - rest] = '\0';
        if (!SimOptionNumber(reg_text, 0, 0xFFFFFF, &reg) ||
            !SimOptionNumber(second + 1, -0x80000000LL, 0xFFFFFFFFLL, &content))
            return bad("SEL:REGISTER:VALUE with REGISTER 0 to 0xFFFFFF and a 32-bit VALUE");
        if (check_only) return 1;
        for (int s = selection.first; s <= selection.last; s++)
            SimRegisterSet(segment->slaves[static_cast<size_t>(s - 1)], static_cast<uint32_t>(reg),
                           static_cast<uint32_t>(content));
        return 1;
    }
    long long number = 0;
    if (!SimOptionNumber(rest, 0, 1000000000LL, &number)) return bad("SEL:N with N 0 to 1000000000");
    if (check_only) return 1;
    for (int s = selection.first; s <= selection.last; s++) {
        SimMailboxFaults& faults = segment->slaves[static_cast<size_t>(s - 1)]->mailbox.faults;
        int count = static_cast<int>(number);
        if (strcmp(option, "--sdo-emergency") == 0) faults.emergencies = count;
        if (strcmp(option, "--sdo-mbx-error") == 0) faults.mailbox_errors = count;
        if (strcmp(option, "--sdo-lose-first-read") == 0) faults.lose_first_reads = count;
        if (strcmp(option, "--sdo-refuse-read") == 0) faults.refuse_reads = count;
        if (strcmp(option, "--sdo-stall") == 0) {
            faults.stalls = true;
            faults.answers_before_stall = count;
        }
        if (strcmp(option, "--sdo-delay") == 0) faults.delay_us = static_cast<uint32_t>(number);
    }
    return 1;
}

int SimMailboxParseOption(SimSegment* segment, const char* option, const char* value) {
    char reason[512];
    int taken = SimMailboxApplyOption(segment, option, value, false, reason, sizeof(reason));
    if (taken < 0) fprintf(stderr, "ecsim: %s\n", reason);
    return taken;
}
