#include "sim/segment.h"

#include <cstring>

#include "sim/register_hooks.h"
#include "sim/sim_clock.h"
#include "wire/byte_order.h"
#include "wire/esc_registers.h"
#include "wire/frame_layout.h"
#include "wire/sii_crc.h"
#include "wire/sii_layout.h"

namespace {

// DL status: PDI operational, physical link on ports 0 (and 1), ports 2 and 3 not
// implemented (loop closed, no communication).
constexpr uint16_t kDlStatusInLine = 0x0001 | 0x0010 | 0x0020 | 0x0200 | 0x0800 | 0x5000;
constexpr uint16_t kDlStatusLineEnd = 0x0001 | 0x0010 | 0x0200 | 0x0400 | 0x5000;

// Registers the EtherCAT side can read but not write.
struct ReadOnlyRange {
    uint16_t first;
    uint16_t count;
};
constexpr ReadOnlyRange kReadOnly[] = {
    {0x0000, 0x10},           // type, revision, build, counts, port descriptor, features
    {kRegStationAlias, 2},    // loaded from the SII
    {kRegDlStatus, 2},        // link state
    {kRegAlStatus, 6},        // AL status and AL status code
    {kRegPdiControl, 2},      // loaded from the SII
};

bool IsReadOnly(uint32_t address) {
    for (const ReadOnlyRange& r : kReadOnly)
        if (address >= r.first && address < static_cast<uint32_t>(r.first) + r.count) return true;
    return false;
}

}  // namespace

void SimSlavePowerOn(SimSlave* slave) {
    uint8_t* m = slave->memory;
    memset(m, 0, kSimMemoryBytes);
    m[kRegType] = 0x11;      // ESC type
    m[kRegType + 1] = 0x02;  // revision
    m[0x0004] = 8;           // FMMUs
    m[0x0005] = 8;           // SyncManagers
    m[0x0006] = 8;           // process RAM, KiB
    m[kRegPortDescriptor] = 0x0F;  // ports 0 and 1 MII
    WireStore16(m + kRegFeatures, 0x000C);  // distributed clocks, 64-bit DC
    WireStore16(m + kRegDlStatus, slave->is_last ? kDlStatusLineEnd : kDlStatusInLine);
    WireStore16(m + kRegAlStatus, kAlStateInit);
    const uint16_t* sii = slave->eeprom.words;
    if (SiiHeaderValid(sii)) {
        WireStore16(m + kRegPdiControl, sii[kSiiWordPdiControl]);
        WireStore16(m + kRegStationAlias, sii[kSiiWordAlias]);
    }
    for (int h = 0; h < slave->hooks.count; h++)
        if (slave->hooks.entries[h].power_on != nullptr) slave->hooks.entries[h].power_on(slave);
}

SimSegment* SimSegmentCreate(int count) {
    SimSegment* segment = new SimSegment{};
    for (int i = 0; i < count; i++) {
        SimSlave* slave = new SimSlave{};
        slave->position = i + 1;
        slave->segment = segment;
        slave->is_last = i == count - 1;
        SimEepromDefaultImage(&slave->eeprom, slave->position);
        SimSlaveInstallLayers(slave);
        SimSlavePowerOn(slave);
        segment->slaves.push_back(slave);
    }
    SimSegmentInstallLayers(segment);
    // The address index is made here, once: processing a frame allocates nothing.
    segment->address_index.owner.assign(0x10000, 0);
    segment->address_index.keys.reserve(static_cast<size_t>(count));
    return segment;
}

void SimSegmentDestroy(SimSegment* segment) {
    if (segment == nullptr) return;
    for (SimSlave* slave : segment->slaves) delete slave;
    delete segment;
}

bool SimSlaveRead(SimSlave* slave, uint16_t address, uint16_t length, uint8_t* out) {
    const SimRegisterHooks& hooks = slave->hooks;
    for (int h = 0; h < hooks.count; h++) {
        const SimRegisterHook& hook = hooks.entries[h];
        if (hook.before_read != nullptr && SimHookCovers(hook, address, length) &&
            !hook.before_read(slave, address, length))
            return false;
    }
    for (uint32_t i = 0; i < length; i++) out[i] = slave->memory[(address + i) & 0xFFFF];
    for (int h = 0; h < hooks.count; h++) {
        const SimRegisterHook& hook = hooks.entries[h];
        if (hook.after_read != nullptr && SimHookCovers(hook, address, length)) hook.after_read(slave, address, length);
    }
    return true;
}

bool SimSlaveWrite(SimSlave* slave, uint16_t address, uint16_t length, const uint8_t* data) {
    const SimRegisterHooks& hooks = slave->hooks;
    for (int h = 0; h < hooks.count; h++) {
        const SimRegisterHook& hook = hooks.entries[h];
        if (hook.before_write != nullptr && SimHookCovers(hook, address, length) &&
            !hook.before_write(slave, address, length))
            return false;
    }
    for (uint32_t i = 0; i < length; i++) {
        uint32_t at = (address + i) & 0xFFFF;
        if (!IsReadOnly(at)) slave->memory[at] = data[i];
    }
    for (int h = 0; h < hooks.count; h++) {
        const SimRegisterHook& hook = hooks.entries[h];
        if (hook.after_write != nullptr && SimHookCovers(hook, address, length))
            hook.after_write(slave, address, length);
    }
    return true;
}

namespace {

// A read-write command: the returned data is the content before the write.
bool SlaveReadWrite(SimSlave* slave, uint16_t address, uint16_t length, uint8_t* data, int* wkc) {
    uint8_t before[kSimMemoryBytes > 2048 ? 2048 : kSimMemoryBytes];
    bool read = SimSlaveRead(slave, address, length, before);
    bool written = SimSlaveWrite(slave, address, length, data);
    if (read) memcpy(data, before, length);
    *wkc += (read ? 1 : 0) + (written ? 2 : 0);
    return read || written;
}

bool StationMatches(const SimSlave* slave, uint16_t adp) {
    if (WireLoad16(slave->memory + kRegStationAddress) == adp) return true;
    bool alias_enabled = (slave->memory[kRegDlControl + 3] & 0x01) != 0;
    uint16_t alias = WireLoad16(slave->memory + kRegStationAlias);
    return alias_enabled && alias != 0 && alias == adp;
}

// Logical addressing through the slave's FMMUs, byte by byte.
void LogicalAccess(SimSlave* slave, uint8_t command, uint32_t logical, uint16_t length, uint8_t* data, int* wkc) {
    bool any_read = false, any_write = false;
    for (int f = 0; f < 16; f++) {
        const uint8_t* fmmu = slave->memory + kRegFmmu + 16 * f;
        if ((fmmu[12] & 0x01) == 0) continue;  // not activated
        uint32_t start = WireLoad32(fmmu);
        uint16_t span = WireLoad16(fmmu + 4);
        uint16_t physical = WireLoad16(fmmu + 8);
        uint8_t type = fmmu[11];
        for (uint32_t i = 0; i < length; i++) {
            uint32_t at = logical + i;
            if (at < start || at >= start + span) continue;
            uint16_t phys = static_cast<uint16_t>(physical + (at - start));
            // Both directions of a read-write mapping work on the byte as it arrived:
            // the slave takes the master's byte and puts its own in.
            uint8_t incoming = data[i];
            uint8_t byte = 0;
            bool read = (type & 0x01) && (command == CMD_LRD || command == CMD_LRW) && SimSlaveRead(slave, phys, 1, &byte);
            if ((type & 0x02) && (command == CMD_LWR || command == CMD_LRW)) {
                if (SimSlaveWrite(slave, phys, 1, &incoming)) any_write = true;
            }
            if (read) {
                data[i] |= byte;
                any_read = true;
            }
        }
    }
    *wkc += (any_read ? 1 : 0) + (any_write ? (command == CMD_LRW ? 2 : 1) : 0);
}

}  // namespace

// `adp` is the address field as the frame carries it when it reaches this slave;
// auto-increment commands raise it afterwards.
void SimSlaveExecute(SimSlave* slave, uint8_t* datagram, uint16_t length) {
    uint8_t command = datagram[kDatagramCommandAt];
    uint16_t adp = WireLoad16(datagram + kDatagramAdpAt);
    uint16_t ado = WireLoad16(datagram + kDatagramAdoAt);
    uint8_t* data = datagram + kDatagramDataAt;
    uint8_t* wkc_field = data + length;
    int wkc = WireLoad16(wkc_field);
    bool auto_increment = CommandIncrementsAddress(command);
    switch (command) {
        case CMD_APRD:
        case CMD_FPRD:
            if (command == CMD_APRD ? adp == 0 : StationMatches(slave, adp)) {
                if (SimSlaveRead(slave, ado, length, data)) wkc += 1;
            }
            break;
        case CMD_APWR:
        case CMD_FPWR:
            if (command == CMD_APWR ? adp == 0 : StationMatches(slave, adp)) {
                if (SimSlaveWrite(slave, ado, length, data)) wkc += 1;
            }
            break;
        case CMD_APRW:
        case CMD_FPRW:
            if (command == CMD_APRW ? adp == 0 : StationMatches(slave, adp)) SlaveReadWrite(slave, ado, length, data, &wkc);
            break;
        case CMD_BRD: {  // every slave ORs its bytes into the data
            uint8_t mine[2048];
            if (length <= sizeof(mine) && SimSlaveRead(slave, ado, length, mine)) {
                for (uint16_t i = 0; i < length; i++) data[i] |= mine[i];
                wkc += 1;
            }
            break;
        }
        case CMD_BWR:
            if (SimSlaveWrite(slave, ado, length, data)) wkc += 1;
            break;
        case CMD_BRW: {  // OR the old content in, write the frame's data
            uint8_t mine[2048];
            uint8_t incoming[2048];
            if (length > sizeof(mine)) break;
            memcpy(incoming, data, length);
            bool read = SimSlaveRead(slave, ado, length, mine);
            bool written = SimSlaveWrite(slave, ado, length, incoming);
            if (read)
                for (uint16_t i = 0; i < length; i++) data[i] |= mine[i];
            wkc += (read ? 1 : 0) + (written ? 2 : 0);
            break;
        }
        case CMD_LRD:
        case CMD_LWR:
        case CMD_LRW:
            LogicalAccess(slave, command, WireLoad32(datagram + kDatagramAdpAt), length, data, &wkc);
            break;
        case CMD_ARMW:    // the addressed slave reads, every other slave writes
        case CMD_FRMW: {  // the same, addressed by station address
            bool addressed = command == CMD_ARMW ? adp == 0 : StationMatches(slave, adp);
            if (addressed) {
                if (SimSlaveRead(slave, ado, length, data)) wkc += 1;
            } else if (SimSlaveWrite(slave, ado, length, data)) {
                wkc += 1;
            }
            break;
        }
        default:  // NOP and reserved codes
            break;
    }
    if (auto_increment) WireStore16(datagram + kDatagramAdpAt, static_cast<uint16_t>(adp + 1));
    WireStore16(wkc_field, static_cast<uint16_t>(wkc));
}


namespace {

// The configured addresses a slave answers to, as one key: its station address, and in
// the upper half its alias when enabled, set and not the station address itself (0
// otherwise). Matches StationMatches.
uint32_t AddressKey(const SimSlave* slave) {
    const uint16_t station = WireLoad16(slave->memory + kRegStationAddress);
    const bool alias_enabled = (slave->memory[kRegDlControl + 3] & 0x01) != 0;
    uint16_t alias = WireLoad16(slave->memory + kRegStationAlias);
    if (!alias_enabled || alias == station) alias = 0;
    return station | static_cast<uint32_t>(alias) << 16;
}

void IndexClaim(SimAddressIndex& index, uint16_t address, int slave) {
    uint16_t& owner = index.owner[address];
    owner = owner == 0 ? static_cast<uint16_t>(slave + 1) : static_cast<uint16_t>(kSimSeveralOwners);
}

void IndexRebuild(SimSegment* segment) {
    SimAddressIndex& index = segment->address_index;
    const size_t count = segment->slaves.size();
    if (index.owner.size() != 0x10000) index.owner.assign(0x10000, 0);
    // Only the entries set before are cleared: a rebuild costs the slaves, not 64 Ki.
    for (uint32_t key : index.keys) {
        index.owner[key & 0xFFFF] = 0;
        index.owner[key >> 16] = 0;
    }
    index.keys.resize(count);
    for (size_t i = 0; i < count; i++) {
        const uint32_t key = AddressKey(segment->slaves[i]);
        index.keys[i] = key;
        IndexClaim(index, static_cast<uint16_t>(key), static_cast<int>(i));
        if ((key >> 16) != 0) IndexClaim(index, static_cast<uint16_t>(key >> 16), static_cast<int>(i));
    }
    index.stale = false;
}

// One frame's walk through the line.
struct LineWalk {
    SimSegment* segment;
    int live;       // slaves that answer: 0 .. live-1
    bool checked;   // the index was compared with every slave's registers in this frame
};

// The owner of a configured address: a slave index, -1 for none, or kSimSeveralOwners.
int AddressOwner(LineWalk& walk, uint16_t address) {
    SimSegment* segment = walk.segment;
    SimAddressIndex& index = segment->address_index;
    if (!walk.checked) {
        // Registers may have changed between frames by other paths than a datagram (a
        // layer's power-on, an EEPROM reload, a test writing memory).
        if (index.keys.size() != segment->slaves.size()) index.stale = true;
        for (size_t i = 0; !index.stale && i < segment->slaves.size(); i++)
            if (AddressKey(segment->slaves[i]) != index.keys[i]) index.stale = true;
        walk.checked = true;
    }
    if (index.stale) IndexRebuild(segment);
    const uint16_t owner = index.owner[address];
    if (owner == kSimSeveralOwners) return kSimSeveralOwners;
    return static_cast<int>(owner) - 1;
}

void Visit(LineWalk& walk, int position_index, uint8_t* datagram, uint16_t length) {
    SimSlave* slave = walk.segment->slaves[static_cast<size_t>(position_index)];
    SimSlaveExecute(slave, datagram, length);
    walk.segment->slave_visits++;
    // An access in this frame may have moved the slave's address: later datagrams of the
    // frame must find it where it is now.
    SimAddressIndex& index = walk.segment->address_index;
    if (walk.checked && !index.stale && AddressKey(slave) != index.keys[static_cast<size_t>(position_index)])
        index.stale = true;
}

void VisitAll(LineWalk& walk, uint8_t* datagram, uint16_t length) {
    for (int s = 0; s < walk.live; s++) Visit(walk, s, datagram, length);
}

// One datagram through the line: the slaves it can address, in line order.
void WalkDatagram(LineWalk& walk, uint8_t* datagram, uint16_t length) {
    const uint8_t command = datagram[kDatagramCommandAt];
    const uint16_t adp = WireLoad16(datagram + kDatagramAdpAt);
    switch (command) {
        case CMD_APRD:
        case CMD_APWR:
        case CMD_APRW: {
            // The address reaches 0 at the slave with this index (0 = the first); every
            // slave raises it by one on the way.
            const uint16_t reached_at = static_cast<uint16_t>(0u - adp);
            if (reached_at < walk.live) {
                WireStore16(datagram + kDatagramAdpAt, 0);
                Visit(walk, reached_at, datagram, length);
            }
            WireStore16(datagram + kDatagramAdpAt, static_cast<uint16_t>(adp + walk.live));
            return;
        }
        case CMD_FPRD:
        case CMD_FPWR:
        case CMD_FPRW: {
            const int owner = AddressOwner(walk, adp);
            if (owner == kSimSeveralOwners)
                VisitAll(walk, datagram, length);  // each slave decides for itself
            else if (owner >= 0 && owner < walk.live)
                Visit(walk, owner, datagram, length);
            return;
        }
        case CMD_BRD:
        case CMD_BWR:
        case CMD_BRW:
        case CMD_LRD:
        case CMD_LWR:
        case CMD_LRW:
        case CMD_ARMW:
        case CMD_FRMW:
            VisitAll(walk, datagram, length);
            return;
        default:  // NOP and reserved codes: no slave acts on them
            return;
    }
}

}  // namespace

bool SimProcessFrame(SimSegment* segment, uint8_t* frame, int length) {
    if (length < kSingleDatagramOverheadBytes) return false;
    if (!FrameIsEtherCat(frame)) return false;
    uint16_t header = WireLoad16(frame + kEthernetHeaderBytes);
    if ((header >> 12) != kEtherCatTypeCommands) return false;  // only EtherCAT command frames
    int end = kFirstDatagramOffset + (header & kEtherCatLengthMask);
    if (end > length) end = length;
    if (segment->vanished_from > 0 && segment->line_check != nullptr) segment->line_check(segment, SimSegmentNowMicros(segment));
    int live = static_cast<int>(segment->slaves.size());
    if (segment->vanished_from > 0 && segment->vanished_from - 1 < live) live = segment->vanished_from - 1;
    if (live <= 0) return false;  // the line is broken at the first slave: nothing comes back
    segment->frames_processed++;
    segment->last_frame_slaves = live;
    LineWalk walk{segment, live, false};
    int at = kFirstDatagramOffset;
    for (;;) {
        if (at + DatagramBytes(0) > end) break;
        uint16_t data_length = DatagramDataLength(frame + at);
        if (at + DatagramBytes(data_length) > end) break;
        bool more = DatagramMoreFollows(frame + at);
        WalkDatagram(walk, frame + at, data_length);
        segment->datagrams_processed++;
        at += DatagramBytes(data_length);
        if (!more) break;
    }
    frame[6] |= 0x02;  // a slave controller marks the frame it returns
    return true;
}
