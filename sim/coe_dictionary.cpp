// The object dictionary of a simulated slave: entries and their types, the values
// options give them, the default objects every slave starts with, and the device
// register file behind the register window.
#include <cctype>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "sim/segment.h"
#include "wire/sii_layout.h"

void SimObjectDefine(SimSlave* slave, uint16_t index, uint8_t subindex, SimObjectType type, bool writable,
                     const void* value, uint32_t value_size, uint32_t max_size) {
    SimObject* object = SimObjectFind(slave, index, subindex);
    if (object == nullptr) {
        slave->mailbox.coe.objects.push_back(SimObject{});
        object = &slave->mailbox.coe.objects.back();
    }
    object->index = index;
    object->subindex = subindex;
    object->type = type;
    object->writable = writable;
    object->max_size = type == kSimOctets ? max_size : SimObjectTypeSize(type);
    const uint8_t* bytes = static_cast<const uint8_t*>(value);
    object->value.assign(bytes, bytes + value_size);
}

void SimObjectDefineInteger(SimSlave* slave, uint16_t index, uint8_t subindex, SimObjectType type, bool writable,
                            int64_t value) {
    uint8_t bytes[8];
    for (int i = 0; i < 8; i++) bytes[i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
    SimObjectDefine(slave, index, subindex, type, writable, bytes, SimObjectTypeSize(type));
}

SimObject* SimObjectFind(SimSlave* slave, uint16_t index, uint8_t subindex) {
    for (SimObject& object : slave->mailbox.coe.objects)
        if (object.index == index && object.subindex == subindex) return &object;
    return nullptr;
}

void SimObjectRemove(SimSlave* slave, uint16_t index) {
    std::vector<SimObject>& objects = slave->mailbox.coe.objects;
    for (size_t i = objects.size(); i-- > 0;)
        if (objects[i].index == index) objects.erase(objects.begin() + static_cast<long>(i));
}

uint32_t SimRegisterGet(const SimSlave* slave, uint32_t reg) {
    const auto& registers = slave->mailbox.coe.registers;
    auto found = registers.find(reg);
    if (found != registers.end()) return found->second;
    return (static_cast<uint32_t>(slave->position) << 24) | (reg & 0x00FFFFFF);
}

void SimRegisterSet(SimSlave* slave, uint32_t reg, uint32_t value) { slave->mailbox.coe.registers[reg] = value; }

uint32_t SimObjectTypeSize(SimObjectType type) {
    switch (type) {
        case kSimU8:
        case kSimI8:
        case kSimBool:
            return 1;
        case kSimU16:
        case kSimI16:
            return 2;
        case kSimU32:
        case kSimI32:
        case kSimF32:
            return 4;
        case kSimU64:
        case kSimI64:
        case kSimF64:
            return 8;
        case kSimOctets:
            break;
    }
    return 0;
}

bool SimObjectTypeParse(const char* text, SimObjectType* type) {
    static const struct {
        const char* name;
        SimObjectType type;
    } kNames[] = {{"u8", kSimU8},     {"u16", kSimU16},       {"u32", kSimU32},       {"u64", kSimU64},
                  {"i8", kSimI8},     {"i16", kSimI16},       {"i32", kSimI32},       {"i64", kSimI64},
                  {"bool", kSimBool}, {"f32", kSimF32},       {"f64", kSimF64},       {"octets", kSimOctets},
                  {"string", kSimOctets}};
    for (const auto& entry : kNames) {
        if (strcasecmp(text, entry.name) == 0) {
            *type = entry.type;
            return true;
        }
    }
    return false;
}

namespace {

void PutLittleEndian(uint8_t* out, uint64_t value, uint32_t size) {
    for (uint32_t i = 0; i < size; i++) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

// A whole number as the other options take them (decimal, 0x hex, 0 octal), optionally
// signed; false when the text is anything else or its magnitude does not fit 64 bits.
bool ParseWhole(const char* text, bool* negative, uint64_t* magnitude) {
    const char* at = text;
    *negative = *at == '-';
    if (*at == '-' || *at == '+') at++;
    if (*at < '0' || *at > '9') return false;  // no blanks, no second sign
    char* end = nullptr;
    errno = 0;
    unsigned long long value = strtoull(at, &end, 0);
    if (errno != 0 || *end != '\0') return false;
    *magnitude = value;
    return true;
}

}  // namespace

uint32_t SimObjectValueParse(SimObjectType type, const char* text, uint8_t* out, const char** expected) {
    static const char kBool[] = "0, 1, true or false";
    static const char kFloat32[] = "a number within the range of f32 (about +-3.4e38), inf or nan";
    static const char kFloat64[] = "a number within the range of f64 (about +-1.8e308), inf or nan";
    struct Range {
        SimObjectType type;
        bool is_signed;
        uint64_t high;  // largest value (signed: its magnitude; the lowest is -(high + 1))
        const char* text;
    };
    static const Range kRanges[] = {
        {kSimU8, false, 0xFF, "0 to 255"},
        {kSimU16, false, 0xFFFF, "0 to 65535"},
        {kSimU32, false, 0xFFFFFFFFULL, "0 to 4294967295"},
        {kSimU64, false, ~0ULL, "0 to 18446744073709551615"},
        {kSimI8, true, 0x7F, "-128 to 127"},
        {kSimI16, true, 0x7FFF, "-32768 to 32767"},
        {kSimI32, true, 0x7FFFFFFFULL, "-2147483648 to 2147483647"},
        {kSimI64, true, 0x7FFFFFFFFFFFFFFFULL, "-9223372036854775808 to 9223372036854775807"},
    };
    *expected = "";
    if (text == nullptr) text = "";
    uint32_t size = SimObjectTypeSize(type);
    switch (type) {
        case kSimOctets:
            *expected = "text or a length";
            return 0;
        case kSimBool:
            if (strcmp(text, "0") == 0 || strcasecmp(text, "false") == 0) {
                out[0] = 0;
                return 1;
            }
            if (strcmp(text, "1") == 0 || strcasecmp(text, "true") == 0) {
                out[0] = 1;
                return 1;
            }
            *expected = kBool;
            return 0;
        case kSimF32:
        case kSimF64: {
            *expected = type == kSimF32 ? kFloat32 : kFloat64;
            if (*text == '\0' || isspace(static_cast<unsigned char>(*text))) return 0;
            char* end = nullptr;
            errno = 0;
            double value = strtod(text, &end);
            if (end == text || *end != '\0') return 0;
            // Beyond the range (ERANGE on overflow) or so small it would vanish.
            if (errno == ERANGE) return 0;
            if (type == kSimF32) {
                if (std::isfinite(value) && (value > FLT_MAX || value < -FLT_MAX)) return 0;
                float single = static_cast<float>(value);
                if (value != 0 && single == 0) return 0;  // too small for a single
                uint32_t bits = 0;
                memcpy(&bits, &single, sizeof(bits));
                PutLittleEndian(out, bits, 4);
            } else {
                uint64_t bits = 0;
                memcpy(&bits, &value, sizeof(bits));
                PutLittleEndian(out, bits, 8);
            }
            *expected = "";
            return size;
        }
        default:
            break;
    }
    for (const Range& range : kRanges) {
        if (range.type != type) continue;
        *expected = range.text;
        bool negative = false;
        uint64_t magnitude = 0;
        if (!ParseWhole(text, &negative, &magnitude)) return 0;
        uint64_t bits = 0;
        if (!negative) {
            if (magnitude > range.high) return 0;
            bits = magnitude;
        } else {
            if (magnitude == 0) {
                bits = 0;  // -0
            } else if (!range.is_signed || magnitude - 1 > range.high) {
                return 0;
            } else {
                bits = ~(magnitude - 1);  // two's complement of -magnitude
            }
        }
        PutLittleEndian(out, bits, size);
        *expected = "";
        return size;
    }
    *expected = "a known type";
    return 0;
}

const char* SimCoeDefaultObjectsHelp() {
    // Kept beside SimCoeBuildDefaults below; a unit test reads these lines back and
    // compares them with a slave's dictionary.
    return "Objects every slave has; --object adds entries or replaces them, but 0x1018\n"
           "is made anew from the SII and the position at every power-on (--identity):\n"
           "  0x1000:0  ro-u32     0x00020192  device type\n"
           "  0x1008:0  ro-string  ecsim slave device name\n"
           "  0x1018:0  ro-u8      4           identity\n"
           "  0x1018:1  ro-u32     SII         vendor (--identity)\n"
           "  0x1018:2  ro-u32     SII         product code\n"
           "  0x1018:3  ro-u32     SII         revision\n"
           "  0x1018:4  ro-u32     POSITION    serial number: the position, from 1\n"
           "  0x2000:0  ro-u8      3           a record for complete access:\n"
           "  0x2000:1  u8         0x11\n"
           "  0x2000:2  u16        0x2222\n"
           "  0x2000:3  u32        0x33333333\n"
           "  0x2100:0  octets     64          bytes 0,1,...,63; takes up to 65535\n"
           "  0x3000:0  u32        0\n"
           "  0x6000:0  ro-u16     0x1234\n"
           "  0x7012:0  u32        0           register window, command: REGISTER<<8,\n"
           "                                   | 1 writes 0x7013 to it, | 0 reads it there\n"
           "  0x7013:0  u32        0           register window, data\n";
}

void SimCoeBuildDefaults(SimSlave* slave) {
    SimCoeServer& server = slave->mailbox.coe;
    const uint16_t* sii = slave->eeprom.words;
    auto define_if_missing = [&](uint16_t index, uint8_t subindex, SimObjectType type, bool writable, int64_t value) {
        if (SimObjectFind(slave, index, subindex) == nullptr)
            SimObjectDefineInteger(slave, index, subindex, type, writable, value);
    };
    // Identity follows the SII on every power-on; the rest is made once.
    SimObjectDefineInteger(slave, 0x1018, 0, kSimU8, false, 4);
    SimObjectDefineInteger(slave, 0x1018, 1, kSimU32, false, sii[kSiiWordVendor] | (static_cast<uint32_t>(sii[kSiiWordVendor + 1]) << 16));
    SimObjectDefineInteger(slave, 0x1018, 2, kSimU32, false, sii[kSiiWordProduct] | (static_cast<uint32_t>(sii[kSiiWordProduct + 1]) << 16));
    SimObjectDefineInteger(slave, 0x1018, 3, kSimU32, false, sii[kSiiWordRevision] | (static_cast<uint32_t>(sii[kSiiWordRevision + 1]) << 16));
    SimObjectDefineInteger(slave, 0x1018, 4, kSimU32, false, slave->position);
    if (server.defaults_built) return;
    server.defaults_built = true;
    define_if_missing(0x1000, 0, kSimU32, false, 0x00020192);  // device type
    if (SimObjectFind(slave, 0x1008, 0) == nullptr) {
        static const char kName[] = "ecsim slave";
        SimObjectDefine(slave, 0x1008, 0, kSimOctets, false, kName, sizeof(kName) - 1, 64);
    }
    // A record for complete access: three entries of different sizes.
    define_if_missing(0x2000, 0, kSimU8, false, 3);
    define_if_missing(0x2000, 1, kSimU8, true, 0x11);
    define_if_missing(0x2000, 2, kSimU16, true, 0x2222);
    define_if_missing(0x2000, 3, kSimU32, true, 0x33333333);
    // A long octet string for segmented transfers: 64 bytes of a counting pattern.
    if (SimObjectFind(slave, 0x2100, 0) == nullptr) {
        uint8_t pattern[64];
        for (int i = 0; i < 64; i++) pattern[i] = static_cast<uint8_t>(i);
        SimObjectDefine(slave, 0x2100, 0, kSimOctets, true, pattern, sizeof(pattern), 65535);
    }
    define_if_missing(0x3000, 0, kSimU32, true, 0);
    define_if_missing(0x6000, 0, kSimU16, false, 0x1234);
    // The device register window.
    define_if_missing(kSimObjectRegisterCommand, 0, kSimU32, true, 0);
    define_if_missing(kSimObjectRegisterData, 0, kSimU32, true, 0);
}

