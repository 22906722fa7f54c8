// CoE SDO server of a simulated slave.
#include "sim/sim_coe.h"

#include <cctype>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "sim/segment.h"

namespace {

constexpr uint16_t kCoeSdoRequest = 0x2000;
constexpr uint16_t kCoeSdoResponse = 0x3000;
constexpr uint16_t kObjectRegisterCommand = 0x7012;
constexpr uint16_t kObjectRegisterData = 0x7013;

uint32_t TypeSize(SimObjectType type) { return SimObjectTypeSize(type); }

SimCoeServer& Server(SimSlave* slave) { return slave->mailbox.coe; }

bool IndexExists(SimSlave* slave, uint16_t index) {
    for (const SimObject& object : Server(slave).objects)
        if (object.index == index) return true;
    return false;
}

// Highest subindex of a record (the value of its subindex 0), or -1 when the index is
// no record (a plain variable has no subindex 1).
int RecordCount(SimSlave* slave, uint16_t index) {
    SimObject* head = SimObjectFind(slave, index, 0);
    if (head == nullptr || head->value.empty() || SimObjectFind(slave, index, 1) == nullptr) return -1;
    return head->value[0];
}

// Lays the common part of a reply: Length, CoE header, command, index, subindex.
int LayReply(uint8_t* reply, uint16_t length, uint16_t coe_header, uint8_t command, uint16_t index,
             uint8_t subindex) {
    WireStore16(reply, length);
    WireStore16(reply + 6, coe_header);
    reply[8] = command;
    WireStore16(reply + 9, index);
    reply[11] = subindex;
    return 6 + length;
}

int Abort(SimSlave* slave, uint8_t* reply, uint16_t index, uint8_t subindex, uint32_t code) {
    SimCoeServer& server = Server(slave);
    server.transfer.active = false;
    server.last_abort = code;
    // An abort is an SDO request in its own right, whichever side sends it.
    int size = LayReply(reply, 10, kCoeSdoRequest, 0x80, index, subindex);
    WireStore32(reply + 12, code);
    return size;
}

// The register window: a command word written to 0x7012 moves a register from or to
// the data word 0x7013.
void RegisterCommand(SimSlave* slave, uint32_t command) {
    SimObject* data = SimObjectFind(slave, kObjectRegisterData, 0);
    if (data == nullptr || data->value.size() != 4) return;
    uint32_t reg = command >> 8;
    if (command & 0x01)
        SimRegisterSet(slave, reg, WireLoad32(data->value.data()));
    else
        WireStore32(data->value.data(), SimRegisterGet(slave, reg));
}

// Checks that `size` bytes may be written to one entry. 0 when they may, else the abort.
uint32_t CheckWrite(SimSlave* slave, uint16_t index, uint8_t subindex, uint32_t size) {
    SimObject* object = SimObjectFind(slave, index, subindex);
    if (object == nullptr) return IndexExists(slave, index) ? kAbortNoSubindex : kAbortNoObject;
    if (!object->writable) return kAbortReadOnly;
    if (object->type == kSimOctets) return size <= object->max_size ? 0u : static_cast<uint32_t>(kAbortLength);
    return size == TypeSize(object->type) ? 0u : static_cast<uint32_t>(kAbortLength);
}

// Size of a complete-access image of a record from `start` (0 or 1) on; 0 with *abort
// set when the index is no record.
uint32_t RecordImageSize(SimSlave* slave, uint16_t index, uint8_t start, uint32_t* abort) {
    int count = RecordCount(slave, index);
    if (count < 0) {
        *abort = IndexExists(slave, index) ? kAbortUnsupportedAccess : kAbortNoObject;
        return 0;
    }
    uint32_t size = start == 0 ? 2 : 0;  // subindex 0 travels as 16 bits
    for (int s = 1; s <= count; s++) {
        SimObject* object = SimObjectFind(slave, index, static_cast<uint8_t>(s));
        if (object != nullptr) size += static_cast<uint32_t>(object->value.size());
    }
    *abort = 0;
    return size;
}

uint32_t CheckRecordWrite(SimSlave* slave, uint16_t index, uint8_t start, uint32_t size) {
    uint32_t abort = 0;
    uint32_t expected = RecordImageSize(slave, index, start, &abort);
    if (abort != 0) return abort;
    if (size != expected) return kAbortLength;
    int count = RecordCount(slave, index);
    for (int s = 1; s <= count; s++) {
        SimObject* object = SimObjectFind(slave, index, static_cast<uint8_t>(s));
        if (object != nullptr && !object->writable) return kAbortReadOnly;
    }
    return 0;
}

void StoreValue(SimSlave* slave, SimObject* object, const uint8_t* data, uint32_t size) {
    object->value.assign(data, data + size);
    if (object->index == kObjectRegisterCommand && object->subindex == 0 && size == 4)
        RegisterCommand(slave, WireLoad32(data));
}

// A bool holds 0 or 1; every other type takes any bit pattern of its size.
bool ValueInRange(const SimObject* object, const uint8_t* data) { return object->type != kSimBool || data[0] <= 1; }

// Applies a complete download. Returns 0 or the abort code.
uint32_t ApplyWrite(SimSlave* slave, uint16_t index, uint8_t subindex, bool complete_access, const uint8_t* data,
                    uint32_t size) {
    if (!complete_access) {
        uint32_t abort = CheckWrite(slave, index, subindex, size);
        if (abort != 0) return abort;
        SimObject* object = SimObjectFind(slave, index, subindex);
        if (!ValueInRange(object, data)) return kAbortValueRange;
        StoreValue(slave, object, data, size);
        return 0;
    }
    uint32_t abort = CheckRecordWrite(slave, index, subindex, size);
    if (abort != 0) return abort;
    int count = RecordCount(slave, index);
    uint32_t at = 0;
    if (subindex == 0) {
        if (data[0] != count) return kAbortValueRange;
        at = 2;
    }
    // The whole image is checked before any entry changes.
    uint32_t check_at = at;
    for (int s = 1; s <= count; s++) {
        const SimObject* object = SimObjectFind(slave, index, static_cast<uint8_t>(s));
        if (object == nullptr) continue;
        if (!ValueInRange(object, data + check_at)) return kAbortValueRange;
        check_at += static_cast<uint32_t>(object->value.size());
    }
    for (int s = 1; s <= count; s++) {
        SimObject* object = SimObjectFind(slave, index, static_cast<uint8_t>(s));
        if (object == nullptr) continue;
        uint32_t length = static_cast<uint32_t>(object->value.size());
        StoreValue(slave, object, data + at, length);
        at += length;
    }
    return 0;
}

// Fills `out` with what an upload delivers. Returns 0 or the abort code.
uint32_t ReadImage(SimSlave* slave, uint16_t index, uint8_t subindex, bool complete_access,
                   std::vector<uint8_t>* out) {
    out->clear();
    if (!complete_access) {
        SimObject* object = SimObjectFind(slave, index, subindex);
        if (object == nullptr) return IndexExists(slave, index) ? kAbortNoSubindex : kAbortNoObject;
        out->assign(object->value.begin(), object->value.end());
        return 0;
    }
    uint32_t abort = 0;
    RecordImageSize(slave, index, subindex, &abort);
    if (abort != 0) return abort;
    int count = RecordCount(slave, index);
    if (subindex == 0) {
        out->push_back(static_cast<uint8_t>(count));
        out->push_back(0);
    }
    for (int s = 1; s <= count; s++) {
        SimObject* object = SimObjectFind(slave, index, static_cast<uint8_t>(s));
        if (object != nullptr) out->insert(out->end(), object->value.begin(), object->value.end());
    }
    return 0;
}

// Next upload segment into the reply: as much as the read mailbox holds.
int UploadSegment(SimSlave* slave, uint8_t* reply, int reply_room) {
    SimCoeTransfer& t = Server(slave).transfer;
    uint32_t remaining = t.total - t.position;
    uint32_t room = static_cast<uint32_t>(reply_room - 9);
    uint32_t count = remaining < room ? remaining : room;
    bool last = count == remaining;
    uint8_t command = t.toggle;
    uint16_t length = static_cast<uint16_t>(count + 3);
    if (last) {
        command |= 0x01;
        if (count < 7) {
            command = static_cast<uint8_t>(command | ((7 - count) << 1));
            length = 10;
        }
    }
    WireStore16(reply, length);
    WireStore16(reply + 6, kCoeSdoResponse);
    reply[8] = command;
    memset(reply + 9, 0, length - 3);
    memcpy(reply + 9, t.data.data() + t.position, count);
    t.position += count;
    t.toggle ^= 0x10;
    if (last) t.active = false;
    return 6 + length;
}

int ServeUploadInitiate(SimSlave* slave, const uint8_t* request, uint8_t* reply, int reply_room) {
    SimCoeTransfer& t = Server(slave).transfer;
    uint16_t index = WireLoad16(request + 9);
    uint8_t subindex = request[11];
    bool complete_access = (request[8] & 0x10) != 0;
    uint32_t abort = ReadImage(slave, index, subindex, complete_access, &t.data);
    if (abort != 0) return Abort(slave, reply, index, subindex, abort);
    uint32_t total = static_cast<uint32_t>(t.data.size());
    if (!complete_access && total >= 1 && total <= 4) {
        int size = LayReply(reply, 10, kCoeSdoResponse, static_cast<uint8_t>(0x43 | ((4 - total) << 2)), index,
                            subindex);
        memset(reply + 12, 0, 4);
        memcpy(reply + 12, t.data.data(), total);
        t.active = false;
        return size;
    }
    uint32_t room = static_cast<uint32_t>(reply_room - 16);
    uint32_t first = total < room ? total : room;
    int size = LayReply(reply, static_cast<uint16_t>(10 + first), kCoeSdoResponse, 0x41, index, subindex);
    WireStore32(reply + 12, total);
    memcpy(reply + 16, t.data.data(), first);
    t.active = first < total;
    t.upload = true;
    t.index = index;
    t.subindex = subindex;
    t.complete_access = complete_access;
    t.toggle = 0;
    t.total = total;
    t.position = first;
    return size;
}

int ServeDownloadInitiate(SimSlave* slave, const uint8_t* request, int request_bytes, uint8_t* reply) {
    SimCoeTransfer& t = Server(slave).transfer;
    uint8_t command = request[8];
    uint16_t index = WireLoad16(request + 9);
    uint8_t subindex = request[11];
    bool complete_access = (command & 0x10) != 0;
    t.active = false;
    if (command & 0x02) {  // expedited
        uint32_t size = 4;
        if (command & 0x01) {
            size = 4 - ((command >> 2) & 3);
        } else if (SimObject* object = SimObjectFind(slave, index, subindex)) {
            // Four data bytes at most: an 8-byte object does not fit and is refused by
            // the size check.
            if (object->type != kSimOctets && TypeSize(object->type) < 4) size = TypeSize(object->type);
        }
        uint32_t abort = ApplyWrite(slave, index, subindex, complete_access, request + 12, size);
        if (abort != 0) return Abort(slave, reply, index, subindex, abort);
        int reply_size = LayReply(reply, 10, kCoeSdoResponse, 0x60, index, subindex);
        memset(reply + 12, 0, 4);
        return reply_size;
    }
    uint32_t total = WireLoad32(request + 12);
    uint16_t length = WireLoad16(request);
    if (length < 10 || 6 + length > request_bytes) return Abort(slave, reply, index, subindex, kAbortGeneral);
    uint32_t carried = length - 10u;
    if (carried > total) carried = total;
    uint32_t abort = complete_access ? CheckRecordWrite(slave, index, subindex, total)
                                     : CheckWrite(slave, index, subindex, total);
    if (abort != 0) return Abort(slave, reply, index, subindex, abort);
    if (carried == total) {
        abort = ApplyWrite(slave, index, subindex, complete_access, request + 16, total);
        if (abort != 0) return Abort(slave, reply, index, subindex, abort);
    } else {
        t.active = true;
        t.upload = false;
        t.index = index;
        t.subindex = subindex;
        t.complete_access = complete_access;
        t.toggle = 0;
        t.total = total;
        t.data.assign(request + 16, request + 16 + carried);
        t.position = carried;
    }
    int reply_size = LayReply(reply, 10, kCoeSdoResponse, 0x60, index, subindex);
    memset(reply + 12, 0, 4);
    return reply_size;
}

int ServeDownloadSegment(SimSlave* slave, const uint8_t* request, int request_bytes, uint8_t* reply) {
    SimCoeTransfer& t = Server(slave).transfer;
    uint8_t command = request[8];
    if (!t.active || t.upload) return Abort(slave, reply, 0, 0, kAbortCommand);
    if ((command & 0x10) != t.toggle) return Abort(slave, reply, t.index, t.subindex, kAbortToggle);
    uint16_t length = WireLoad16(request);
    if (length < 3 || 6 + length > request_bytes) return Abort(slave, reply, t.index, t.subindex, kAbortGeneral);
    uint32_t count = length - 3u;
    bool last = (command & 0x01) != 0;
    if (last && length == 10) count = 7 - ((command >> 1) & 7);
    if (t.position + count > t.total) return Abort(slave, reply, t.index, t.subindex, kAbortLength);
    t.data.insert(t.data.end(), request + 9, request + 9 + count);
    t.position += count;
    uint8_t toggle = t.toggle;
    t.toggle ^= 0x10;
    if (last) {
        t.active = false;
        if (t.position != t.total) return Abort(slave, reply, t.index, t.subindex, kAbortLength);
        uint32_t abort = ApplyWrite(slave, t.index, t.subindex, t.complete_access, t.data.data(), t.total);
        if (abort != 0) return Abort(slave, reply, t.index, t.subindex, abort);
    }
    WireStore16(reply, 10);
    WireStore16(reply + 6, kCoeSdoResponse);
    reply[8] = static_cast<uint8_t>(0x20 | toggle);
    memset(reply + 9, 0, 7);
    return 16;
}

int ServeUploadSegment(SimSlave* slave, const uint8_t* request, uint8_t* reply, int reply_room) {
    SimCoeTransfer& t = Server(slave).transfer;
    if (!t.active || !t.upload) return Abort(slave, reply, 0, 0, kAbortCommand);
    if ((request[8] & 0x10) != t.toggle) return Abort(slave, reply, t.index, t.subindex, kAbortToggle);
    return UploadSegment(slave, reply, reply_room);
}

}  // namespace

void SimObjectDefine(SimSlave* slave, uint16_t index, uint8_t subindex, SimObjectType type, bool writable,
                     const void* value, uint32_t value_size, uint32_t max_size) {
    SimObject* object = SimObjectFind(slave, index, subindex);
    if (object == nullptr) {
        Server(slave).objects.push_back(SimObject{});
        object = &Server(slave).objects.back();
    }
    object->index = index;
    object->subindex = subindex;
    object->type = type;
    object->writable = writable;
    object->max_size = type == kSimOctets ? max_size : TypeSize(type);
    const uint8_t* bytes = static_cast<const uint8_t*>(value);
    object->value.assign(bytes, bytes + value_size);
}

void SimObjectDefineInteger(SimSlave* slave, uint16_t index, uint8_t subindex, SimObjectType type, bool writable,
                            int64_t value) {
    uint8_t bytes[8];
    for (int i = 0; i < 8; i++) bytes[i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
    SimObjectDefine(slave, index, subindex, type, writable, bytes, TypeSize(type));
}

SimObject* SimObjectFind(SimSlave* slave, uint16_t index, uint8_t subindex) {
    for (SimObject& object : Server(slave).objects)
        if (object.index == index && object.subindex == subindex) return &object;
    return nullptr;
}

void SimObjectRemove(SimSlave* slave, uint16_t index) {
    std::vector<SimObject>& objects = Server(slave).objects;
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
    SimCoeServer& server = Server(slave);
    const uint16_t* sii = slave->eeprom.words;
    auto define_if_missing = [&](uint16_t index, uint8_t subindex, SimObjectType type, bool writable, int64_t value) {
        if (SimObjectFind(slave, index, subindex) == nullptr)
            SimObjectDefineInteger(slave, index, subindex, type, writable, value);
    };
    // Identity follows the SII on every power-on; the rest is made once.
    SimObjectDefineInteger(slave, 0x1018, 0, kSimU8, false, 4);
    SimObjectDefineInteger(slave, 0x1018, 1, kSimU32, false, sii[8] | (static_cast<uint32_t>(sii[9]) << 16));
    SimObjectDefineInteger(slave, 0x1018, 2, kSimU32, false, sii[10] | (static_cast<uint32_t>(sii[11]) << 16));
    SimObjectDefineInteger(slave, 0x1018, 3, kSimU32, false, sii[12] | (static_cast<uint32_t>(sii[13]) << 16));
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
    define_if_missing(kObjectRegisterCommand, 0, kSimU32, true, 0);
    define_if_missing(kObjectRegisterData, 0, kSimU32, true, 0);
}

void SimCoeReset(SimSlave* slave) {
    SimCoeTransfer& t = Server(slave).transfer;
    t.active = false;
    t.data.clear();
}

int SimCoeServe(SimSlave* slave, const uint8_t* request, int request_bytes, uint8_t* reply, int reply_room) {
    SimCoeServer& server = Server(slave);
    server.requests_served++;
    if (request_bytes < 16 || reply_room < 16) return 0;
    memset(reply, 0, 16);
    uint8_t command = request[8];
    switch (command >> 5) {
        case 0:
            return ServeDownloadSegment(slave, request, request_bytes, reply);
        case 1:
            return ServeDownloadInitiate(slave, request, request_bytes, reply);
        case 2:
            return ServeUploadInitiate(slave, request, reply, reply_room);
        case 3:
            return ServeUploadSegment(slave, request, reply, reply_room);
        case 4:  // the master aborts: end the transfer, no answer
            server.transfer.active = false;
            return 0;
        default:
            return Abort(slave, reply, WireLoad16(request + 9), request[11], kAbortCommand);
    }
}
