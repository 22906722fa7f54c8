// The CoE SDO server of a simulated slave: expedited, normal and segmented transfers in
// both directions, complete access to records, aborts, and the register window's
// command object acting on the device register file.
#include <cstring>

#include "sim/segment.h"
#include "sim/sim_coe.h"
#include "wire/byte_order.h"

namespace {

constexpr uint16_t kCoeSdoRequest = 0x2000;
constexpr uint16_t kCoeSdoResponse = 0x3000;

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
    SimObject* data = SimObjectFind(slave, kSimObjectRegisterData, 0);
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
    if (object->index == kSimObjectRegisterCommand && object->subindex == 0 && size == 4)
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

// A segmented transfer begins: the object it moves, its size, the bytes moved with the
// initiate, and the toggle the first segment request must carry.
void StartTransfer(SimCoeTransfer* t, bool upload, uint16_t index, uint8_t subindex, bool complete_access,
                   uint32_t total, uint32_t position) {
    t->active = true;
    t->upload = upload;
    t->index = index;
    t->subindex = subindex;
    t->complete_access = complete_access;
    t->toggle = 0;
    t->total = total;
    t->position = position;
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
    StartTransfer(&t, true, index, subindex, complete_access, total, first);
    t.active = first < total;
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
        StartTransfer(&t, false, index, subindex, complete_access, total, carried);
        t.data.assign(request + 16, request + 16 + carried);
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
