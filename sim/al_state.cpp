// The AL state machine of a simulated slave: state requests through AL control 0x0120,
// state, error indicator and status code in 0x0130/0x0134, the checks a slave makes
// before PRE-OP (mailbox SyncManagers as its SII describes them, the EEPROM offered to
// the PDI when it reads its SII there), and the power-on state of the application layer.
#include "sim/mailbox_internal.h"
#include "sim/segment.h"
#include "wire/byte_order.h"
#include "wire/esc_registers.h"
#include "wire/sii_layout.h"

namespace {

void MirrorAl(SimSlave* slave) {
    const SimMailbox& mb = slave->mailbox;
    WireStore16(slave->memory + kRegAlStatus, static_cast<uint16_t>(mb.al_state | (mb.al_error ? kAlErrorBit : 0)));
    WireStore16(slave->memory + kRegAlStatusCode, mb.al_status_code);
}

// The firmware serves mailboxes only as its SII describes them.
bool MailboxConfigMatchesSii(const SimSlave* slave) {
    const uint16_t* sii = slave->eeprom.words;
    if (sii[kSiiWordWriteMailboxSize] == 0) return true;  // no mailbox: nothing to check
    uint16_t read_length = sii[kSiiWordReadMailboxSize] != 0 ? sii[kSiiWordReadMailboxSize] : sii[kSiiWordWriteMailboxSize];
    SimSmView write_box{}, read_box{};
    if (!SimSmMailboxActive(slave, 0, &write_box) || !SimSmMailboxActive(slave, 1, &read_box)) return false;
    return write_box.start == sii[kSiiWordWriteMailboxOffset] && write_box.length == sii[kSiiWordWriteMailboxSize] && (write_box.control & 0x0F) == 0x06 &&
           read_box.start == sii[kSiiWordReadMailboxOffset] && read_box.length == read_length && (read_box.control & 0x0F) == 0x02;
}

void Refuse(SimSlave* slave, uint16_t code) {
    slave->mailbox.al_error = true;
    slave->mailbox.al_status_code = code;
}

void EnterState(SimSlave* slave, uint8_t state) {
    SimMailbox& mb = slave->mailbox;
    bool was_running = mb.firmware_running;
    mb.al_state = state;
    mb.firmware_running = state != kAlStateInit && slave->eeprom.words[kSiiWordWriteMailboxSize] != 0;
    if (mb.firmware_running != was_running) SimFirmwareClearMailboxes(slave);
}

void AlControlWritten(SimSlave* slave) {
    SimMailbox& mb = slave->mailbox;
    uint8_t control = slave->memory[kRegAlControl];
    uint8_t requested = control & kAlStateMask;
    bool acknowledge = (control & kAlErrorBit) != 0;
    if (acknowledge) {
        mb.al_error = false;
        mb.al_status_code = 0;
    } else if (mb.al_error && requested != kAlStateInit) {
        MirrorAl(slave);
        return;  // an error must be acknowledged before anything but INIT is taken
    }
    uint8_t current = mb.al_state;
    if (requested == current) {
        // nothing to change
    } else if (requested == kAlStateInit) {
        EnterState(slave, kAlStateInit);
    } else if (requested == kAlStatePreOp) {
        if (current == kAlStateInit) {
            if (mb.faults.reads_sii_on_preop && (slave->memory[kRegEepromConfiguration] & 0x01) == 0)
                Refuse(slave, kAlCodeEepromNoAccess);
            else if (!MailboxConfigMatchesSii(slave))
                Refuse(slave, kAlCodeInvalidMailboxConfig);
            else
                EnterState(slave, kAlStatePreOp);
        } else {
            EnterState(slave, kAlStatePreOp);
        }
    } else if (requested == kAlStateSafeOp) {
        if (current == kAlStatePreOp || current == kAlStateOp)
            EnterState(slave, kAlStateSafeOp);
        else
            Refuse(slave, kAlCodeInvalidStateChange);
    } else if (requested == kAlStateOp) {
        if (current == kAlStateSafeOp)
            EnterState(slave, kAlStateOp);
        else
            Refuse(slave, kAlCodeInvalidStateChange);
    } else if (requested == kAlStateBoot) {
        Refuse(slave, kAlCodeBootstrapNotSupported);
    } else {
        Refuse(slave, kAlCodeUnknownState);
    }
    MirrorAl(slave);
}

// A write that covers the AL control register is a state request.
void AlControlAfterWrite(SimSlave* slave, uint16_t address, uint16_t length) {
    uint32_t end = static_cast<uint32_t>(address) + length;
    if (address <= kRegAlControl && end > kRegAlControl) AlControlWritten(slave);
}

}  // namespace

void SimMailboxPowerOn(SimSlave* slave) {
    SimMailbox& mb = slave->mailbox;
    mb.al_state = kAlStateInit;
    mb.al_error = false;
    mb.al_status_code = 0;
    for (int n = 0; n < kSimSyncManagers; n++) {
        mb.sm_enabled[n] = false;
        mb.sm_full[n] = false;
        mb.sm_repeat_request[n] = 0;
        mb.sm_repeat_ack[n] = 0;
        SimSmMirror(slave, n);
    }
    mb.firmware_running = false;
    mb.reply_counter = 0;
    SimFirmwareClearMailboxes(slave);
    SimCoeBuildDefaults(slave);
    MirrorAl(slave);
}

const SimRegisterHook kSimAlControlHook = {
    "al control", kRegAlControl, kRegAlControl + 2, nullptr, nullptr, nullptr, AlControlAfterWrite, SimMailboxPowerOn,
};
