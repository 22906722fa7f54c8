// The SyncManagers of a simulated slave controller in mailbox mode, as the hardware
// has them: a buffer turns full when the writer covers its last byte and empty when the
// reader does; the master cannot write into a full write mailbox nor read an empty read
// mailbox (the access is not executed and not counted); the repeat request of the read
// mailbox. The firmware behind the mailboxes is in mailbox_firmware.cpp.
#include "sim/mailbox_internal.h"
#include "sim/segment.h"
#include "wire/byte_order.h"
#include "wire/esc_registers.h"

namespace {

SimSmView ReadSm(const SimSlave* slave, int n) {
    const uint8_t* r = slave->memory + kRegSyncManager + 8 * n;
    return SimSmView{WireLoad16(r), WireLoad16(r + 2), r[4]};
}

uint32_t LastByte(const SimSmView& view) { return static_cast<uint32_t>(view.start) + view.length - 1; }

bool Overlaps(const SimSmView& view, uint16_t address, uint16_t length) {
    uint32_t first = address, end = static_cast<uint32_t>(address) + length;
    return length > 0 && first <= LastByte(view) && end > view.start;
}

bool CoversLast(const SimSmView& view, uint16_t address, uint16_t length) {
    uint32_t last = LastByte(view);
    return length > 0 && address <= last && static_cast<uint32_t>(address) + length > last;
}

void ReadMailboxEmptied(SimSlave* slave) {
    SimMailbox& mb = slave->mailbox;
    mb.last_read = mb.placed;
    mb.last_read.lose_first_read = false;
    mb.has_last_read = true;
    mb.sm_full[1] = false;
    SimSmMirror(slave, 1);
    SimFirmwareTick(slave);
}

void Trace(SimSlave* slave, bool write, uint16_t address, uint16_t length, bool executed) {
    SimMailbox& mb = slave->mailbox;
    if (mb.keep_trace) mb.trace.push_back(SimAccess{write, address, length, executed});
}

// Writes into the SyncManager registers: enabling, disabling, the repeat request.
void SyncManagersAfterWrite(SimSlave* slave, uint16_t address, uint16_t length) {
    if (!(address < kRegSyncManager + 8 * kSimSyncManagers && static_cast<uint32_t>(address) + length > kRegSyncManager))
        return;
    SimMailbox& mb = slave->mailbox;
    for (int n = 0; n < kSimSyncManagers; n++) {
        uint16_t base = static_cast<uint16_t>(kRegSyncManager + 8 * n);
        if (static_cast<uint32_t>(address) + length <= base || address >= base + 8) continue;
        uint8_t activate = slave->memory[base + 6];
        bool enabled = (activate & 0x01) != 0;
        uint8_t repeat = (activate >> 1) & 0x01;
        if (enabled != mb.sm_enabled[n]) {
            mb.sm_enabled[n] = enabled;
            mb.sm_full[n] = false;
            mb.sm_repeat_request[n] = repeat;
            mb.sm_repeat_ack[n] = repeat;
        } else if (enabled && repeat != mb.sm_repeat_request[n]) {
            mb.sm_repeat_request[n] = repeat;
            if (n == 1 && mb.firmware_running) SimFirmwareServeRepeat(slave);
        }
        SimSmMirror(slave, n);  // status and PDI control belong to the ESC and its firmware
    }
}

// Every access lets the firmware run first; a read of the read mailbox needs it full.
bool AreasBeforeRead(SimSlave* slave, uint16_t address, uint16_t length) {
    SimMailbox& mb = slave->mailbox;
    SimFirmwareTick(slave);
    SimSmView view{};
    if (SimSmMailboxActive(slave, 1, &view) && !SimSmMasterWrites(view) && Overlaps(view, address, length)) {
        if (!mb.sm_full[1]) {
            Trace(slave, false, address, length, false);
            return false;
        }
        if (CoversLast(view, address, length)) {
            if (mb.faults.refuse_reads > 0) {  // the read never reached the slave
                mb.faults.refuse_reads--;
                Trace(slave, false, address, length, false);
                return false;
            }
            if (mb.placed.lose_first_read) {  // read, but the data never reach the master
                mb.placed.lose_first_read = false;
                ReadMailboxEmptied(slave);
                Trace(slave, false, address, length, false);
                return false;
            }
        }
    }
    Trace(slave, false, address, length, true);
    return true;
}

// A read that covered the last byte of the full read mailbox empties it.
void AreasAfterRead(SimSlave* slave, uint16_t address, uint16_t length) {
    SimSmView view{};
    if (SimSmMailboxActive(slave, 1, &view) && !SimSmMasterWrites(view) && slave->mailbox.sm_full[1] &&
        CoversLast(view, address, length))
        ReadMailboxEmptied(slave);
}

// A write into the full write mailbox is not executed.
bool AreasBeforeWrite(SimSlave* slave, uint16_t address, uint16_t length) {
    SimFirmwareTick(slave);
    SimSmView view{};
    if (SimSmMailboxActive(slave, 0, &view) && SimSmMasterWrites(view) && Overlaps(view, address, length) &&
        slave->mailbox.sm_full[0]) {
        Trace(slave, true, address, length, false);
        return false;
    }
    Trace(slave, true, address, length, true);
    return true;
}

// A write that covered the last byte of the write mailbox fills it: the firmware may take it.
void WriteAreaAfterWrite(SimSlave* slave, uint16_t address, uint16_t length) {
    SimSmView view{};
    if (SimSmMailboxActive(slave, 0, &view) && SimSmMasterWrites(view) && CoversLast(view, address, length)) {
        slave->mailbox.sm_full[0] = true;
        SimSmMirror(slave, 0);
        SimFirmwareTick(slave);
    }
}

}  // namespace

// A SyncManager that behaves as a mailbox: enabled, mailbox mode, non-empty.
bool SimSmMailboxActive(const SimSlave* slave, int n, SimSmView* view) {
    if (!slave->mailbox.sm_enabled[n]) return false;
    *view = ReadSm(slave, n);
    return (view->control & 0x03) == 0x02 && view->length > 0;
}

bool SimSmMasterWrites(const SimSmView& view) { return (view.control & 0x0C) == 0x04; }

void SimSmMirror(SimSlave* slave, int n) {
    const SimMailbox& mb = slave->mailbox;
    slave->memory[kRegSyncManager + 8 * n + 5] = mb.sm_full[n] ? 0x08 : 0x00;
    slave->memory[kRegSyncManager + 8 * n + 7] = static_cast<uint8_t>(mb.sm_repeat_ack[n] << 1);
}

const SimRegisterHook kSimMailboxAreasHook = {
    "mailbox areas", 0x0000, 0x10000, AreasBeforeRead, AreasAfterRead, AreasBeforeWrite, nullptr, nullptr,
};

const SimRegisterHook kSimSyncManagerHook = {
    "syncmanagers", kRegSyncManager, kRegSyncManager + kSyncManagerBytes * static_cast<uint32_t>(kSimSyncManagers), nullptr, nullptr,
    nullptr, SyncManagersAfterWrite, nullptr,
};

const SimRegisterHook kSimMailboxWriteAreaHook = {
    "write mailbox", 0x0000, 0x10000, nullptr, nullptr, nullptr, WriteAreaAfterWrite, nullptr,
};
