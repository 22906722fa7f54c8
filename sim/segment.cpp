#include "sim/segment.h"

#include <cstring>

#include "sim/wire.h"
#include "wire/esc_registers.h"
#include "wire/frame_layout.h"
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
    if (SimSiiHeaderValid(&slave->eeprom)) {
        WireStore16(m + kRegPdiControl, sii[kSiiWordPdiControl]);
        WireStore16(m + kRegStationAlias, sii[kSiiWordAlias]);
    }
    SimEepromPowerOn(slave);
    SimMailboxPowerOn(slave);
}

SimSegment* SimSegmentCreate(int count) {
    SimSegment* segment = new SimSegment{};
    for (int i = 0; i < count; i++) {
        SimSlave* slave = new SimSlave{};
        slave->position = i + 1;
        slave->is_last = i == count - 1;
        SimEepromDefaultImage(&slave->eeprom, slave->position);
        SimSlavePowerOn(slave);
        segment->slaves.push_back(slave);
    }
    return segment;
}

void SimSegmentDestroy(SimSegment* segment) {
    if (segment == nullptr) return;
    for (SimSlave* slave : segment->slaves) delete slave;
    delete segment;
}

bool SimSlaveRead(SimSlave* slave, uint16_t address, uint16_t length, uint8_t* out) {
    if (!SimMailboxBeforeRead(slave, address, length)) return false;
    if (!SimEepromBeforeRead(slave, address, length)) return false;
    for (uint32_t i = 0; i < length; i++) out[i] = slave->memory[(address + i) & 0xFFFF];
    SimMailboxAfterRead(slave, address, length);
    return true;
}

bool SimSlaveWrite(SimSlave* slave, uint16_t address, uint16_t length, const uint8_t* data) {
    if (!SimMailboxBeforeWrite(slave, address, length)) return false;
    for (uint32_t i = 0; i < length; i++) {
        uint32_t at = (address + i) & 0xFFFF;
        if (!IsReadOnly(at)) slave->memory[at] = data[i];
    }
    SimEepromAfterWrite(slave, address, length);
    SimMailboxAfterWrite(slave, address, length);
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
            bool read = (type & 0x01) && (command == 10 || command == 12) && SimSlaveRead(slave, phys, 1, &byte);
            if ((type & 0x02) && (command == 11 || command == 12)) {
                if (SimSlaveWrite(slave, phys, 1, &incoming)) any_write = true;
            }
            if (read) {
                data[i] |= byte;
                any_read = true;
            }
        }
    }
    *wkc += (any_read ? 1 : 0) + (any_write ? (command == 12 ? 2 : 1) : 0);
}

// Executes one datagram on one slave. `adp` is the address field as the frame carries
// it when it reaches this slave; auto-increment commands raise it afterwards.
void SlaveExecute(SimSlave* slave, uint8_t* datagram, uint16_t length) {
    uint8_t command = datagram[0];
    uint16_t adp = WireLoad16(datagram + 2);
    uint16_t ado = WireLoad16(datagram + 4);
    uint8_t* data = datagram + 10;
    uint8_t* wkc_field = data + length;
    int wkc = WireLoad16(wkc_field);
    bool auto_increment = command >= 1 && command <= 3;
    switch (command) {
        case 1:  // APRD
        case 4:  // FPRD
            if (command == 1 ? adp == 0 : StationMatches(slave, adp)) {
                if (SimSlaveRead(slave, ado, length, data)) wkc += 1;
            }
            break;
        case 2:  // APWR
        case 5:  // FPWR
            if (command == 2 ? adp == 0 : StationMatches(slave, adp)) {
                if (SimSlaveWrite(slave, ado, length, data)) wkc += 1;
            }
            break;
        case 3:  // APRW
        case 6:  // FPRW
            if (command == 3 ? adp == 0 : StationMatches(slave, adp)) SlaveReadWrite(slave, ado, length, data, &wkc);
            break;
        case 7: {  // BRD: every slave ORs its bytes into the data
            uint8_t mine[2048];
            if (length <= sizeof(mine) && SimSlaveRead(slave, ado, length, mine)) {
                for (uint16_t i = 0; i < length; i++) data[i] |= mine[i];
                wkc += 1;
            }
            break;
        }
        case 8:  // BWR
            if (SimSlaveWrite(slave, ado, length, data)) wkc += 1;
            break;
        case 9: {  // BRW: OR the old content in, write the frame's data
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
        case 10:
        case 11:
        case 12:
            LogicalAccess(slave, command, WireLoad32(datagram + 2), length, data, &wkc);
            break;
        case 13:    // ARMW: the addressed slave reads, every other slave writes
        case 14: {  // FRMW: the same, addressed by station address
            bool addressed = command == 13 ? adp == 0 : StationMatches(slave, adp);
            if (addressed) {
                if (SimSlaveRead(slave, ado, length, data)) wkc += 1;
            } else if (SimSlaveWrite(slave, ado, length, data)) {
                wkc += 1;
            }
            if (command == 13) auto_increment = true;
            break;
        }
        default:  // NOP and reserved codes
            break;
    }
    if (auto_increment) WireStore16(datagram + 2, static_cast<uint16_t>(adp + 1));
    WireStore16(wkc_field, static_cast<uint16_t>(wkc));
}

}  // namespace

bool SimProcessFrame(SimSegment* segment, uint8_t* frame, int length) {
    if (length < 14 + 2 + 12) return false;
    if (frame[12] != 0x88 || frame[13] != 0xA4) return false;
    uint16_t header = WireLoad16(frame + 14);
    if ((header >> 12) != 1) return false;  // only EtherCAT command frames
    int end = 16 + (header & 0x07FF);
    if (end > length) end = length;
    if (segment->vanished_from > 0) SimEepromComeBackAt(segment, SimNowMicros());
    int live = static_cast<int>(segment->slaves.size());
    if (segment->vanished_from > 0 && segment->vanished_from - 1 < live) live = segment->vanished_from - 1;
    if (live <= 0) return false;  // the line is broken at the first slave: nothing comes back
    segment->frames_processed++;
    // Walk the datagram chain once per slave, in line order.
    for (int s = 0; s < live; s++) {
        SimSlave* slave = segment->slaves[s];
        int at = 16;
        for (;;) {
            if (at + 12 > end) break;
            uint16_t len_field = WireLoad16(frame + at + 6);
            uint16_t data_length = len_field & 0x07FF;
            if (at + 10 + data_length + 2 > end) break;
            SlaveExecute(slave, frame + at, data_length);
            if (s == 0) segment->datagrams_processed++;
            at += 10 + data_length + 2;
            if ((len_field & 0x8000) == 0) break;
        }
    }
    frame[6] |= 0x02;  // a slave controller marks the frame it returns
    return true;
}
