// SyncManager mailboxes, AL state machine and mailbox firmware of a simulated slave.
#include "sim/sim_mailbox.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "sim/segment.h"
#include "sim/sim_options.h"
#include "sim/wire.h"
#include "wire/esc_registers.h"
#include "wire/sii_layout.h"

namespace {

constexpr int kAnswersPerRequest = 3;  // emergency, error reply, answer

struct SmView {
    uint16_t start;
    uint16_t length;
    uint8_t control;
};

SmView ReadSm(const SimSlave* slave, int n) {
    const uint8_t* r = slave->memory + kRegSyncManager + 8 * n;
    return SmView{WireLoad16(r), WireLoad16(r + 2), r[4]};
}

// A SyncManager that behaves as a mailbox: enabled, mailbox mode, non-empty.
bool MailboxActive(const SimSlave* slave, int n, SmView* view) {
    if (!slave->mailbox.sm_enabled[n]) return false;
    *view = ReadSm(slave, n);
    return (view->control & 0x03) == 0x02 && view->length > 0;
}

bool MasterWrites(const SmView& view) { return (view.control & 0x0C) == 0x04; }

uint32_t LastByte(const SmView& view) { return static_cast<uint32_t>(view.start) + view.length - 1; }

bool Overlaps(const SmView& view, uint16_t address, uint16_t length) {
    uint32_t first = address, end = static_cast<uint32_t>(address) + length;
    return length > 0 && first <= LastByte(view) && end > view.start;
}

bool CoversLast(const SmView& view, uint16_t address, uint16_t length) {
    uint32_t last = LastByte(view);
    return length > 0 && address <= last && static_cast<uint32_t>(address) + length > last;
}

void MirrorSm(SimSlave* slave, int n) {
    const SimMailbox& mb = slave->mailbox;
    slave->memory[kRegSyncManager + 8 * n + 5] = mb.sm_full[n] ? 0x08 : 0x00;
    slave->memory[kRegSyncManager + 8 * n + 7] = static_cast<uint8_t>(mb.sm_repeat_ack[n] << 1);
}

void MirrorAl(SimSlave* slave) {
    const SimMailbox& mb = slave->mailbox;
    WireStore16(slave->memory + kRegAlStatus, static_cast<uint16_t>(mb.al_state | (mb.al_error ? kAlErrorBit : 0)));
    WireStore16(slave->memory + kRegAlStatusCode, mb.al_status_code);
}

void ClearMailboxes(SimSlave* slave) {
    SimMailbox& mb = slave->mailbox;
    mb.queue_head = 0;
    mb.queue_count = 0;
    mb.has_last_read = false;
    mb.last_request_counter = 0;
    mb.sm_full[0] = false;
    mb.sm_full[1] = false;
    MirrorSm(slave, 0);
    MirrorSm(slave, 1);
    SimCoeReset(slave);
}

// Queues a message for the read mailbox. Unless raw, the firmware's own counter goes in.
void Enqueue(SimSlave* slave, const uint8_t* bytes, int length, uint64_t due_us, bool lose_first_read, bool raw) {
    SimMailbox& mb = slave->mailbox;
    if (mb.queue_count == kSimMailboxQueue || length <= 0) return;
    SimMailboxMessage& m = mb.queue[(mb.queue_head + mb.queue_count) % kSimMailboxQueue];
    if (length > kSimMailboxMessageBytes) length = kSimMailboxMessageBytes;
    memcpy(m.bytes, bytes, static_cast<size_t>(length));
    m.length = static_cast<uint16_t>(length);
    m.due_us = due_us;
    m.lose_first_read = lose_first_read;
    if (!raw && length >= 6) {
        mb.reply_counter = static_cast<uint8_t>(mb.reply_counter % 7 + 1);
        m.bytes[5] = static_cast<uint8_t>((m.bytes[5] & 0x0F) | (mb.reply_counter << 4));
    }
    mb.queue_count++;
}

void EnqueueMailboxError(SimSlave* slave, uint16_t detail, uint64_t due_us) {
    uint8_t m[10] = {0};
    WireStore16(m, 4);
    m[5] = 0x00;  // type 0: mailbox error reply
    WireStore16(m + 6, 0x0001);
    WireStore16(m + 8, detail);
    Enqueue(slave, m, sizeof(m), due_us, false, false);
}

void EnqueueEmergency(SimSlave* slave, uint64_t due_us) {
    uint8_t m[16] = {0};
    WireStore16(m, 10);
    m[5] = 0x03;
    WireStore16(m + 6, 0x1000);  // CoE service 1: emergency
    WireStore16(m + 8, 0xFF10);  // manufacturer-specific error code
    m[10] = 0x81;             // error register: generic and manufacturer-specific
    m[11] = 0xA5;
    WireStore16(m + 12, 0x1234);
    WireStore16(m + 14, 0x5678);
    Enqueue(slave, m, sizeof(m), due_us, false, false);
}

// The firmware takes the request out of the write mailbox and queues its answers.
void TakeRequest(SimSlave* slave) {
    SimMailbox& mb = slave->mailbox;
    SmView write_box{}, read_box{};
    MailboxActive(slave, 0, &write_box);
    int bytes = write_box.length < kSimMailboxMessageBytes ? static_cast<int>(write_box.length) : static_cast<int>(kSimMailboxMessageBytes);
    uint8_t request[kSimMailboxMessageBytes];
    for (int i = 0; i < bytes; i++) request[i] = slave->memory[(write_box.start + i) & 0xFFFF];
    mb.sm_full[0] = false;
    MirrorSm(slave, 0);
    if (bytes < 6) return;
    uint8_t counter = (request[5] >> 4) & 0x07;
    // The master wrote the same message again (its first write's reply was lost on the
    // way back): it has been served already.
    if (counter != 0 && counter == mb.last_request_counter) return;
    mb.last_request_counter = counter;
    mb.requests_taken++;
    if (mb.keep_requests) mb.requests.emplace_back(request, request + bytes);
    if (mb.faults.stalls) {
        if (mb.faults.answers_before_stall == 0) return;
        mb.faults.answers_before_stall--;
    }

    uint64_t due = SimNowMicros() + mb.faults.delay_us;
    if (mb.faults.emergencies > 0) {
        mb.faults.emergencies--;
        EnqueueEmergency(slave, due);
    }
    if (mb.faults.mailbox_errors > 0) {
        mb.faults.mailbox_errors--;
        EnqueueMailboxError(slave, kMbxErrorNoMoreMemory, due);
    }
    bool lose = mb.faults.lose_first_reads > 0;
    if (lose) mb.faults.lose_first_reads--;
    if (!mb.scripted.empty()) {
        const std::vector<uint8_t>& answer = mb.scripted.front();
        Enqueue(slave, answer.data(), static_cast<int>(answer.size()), due, lose, mb.scripted_raw);
        mb.scripted.erase(mb.scripted.begin());
        return;
    }
    uint16_t length = WireLoad16(request);
    uint8_t type = request[5] & 0x0F;
    if (6 + length > bytes) {
        EnqueueMailboxError(slave, kMbxErrorInvalidSize, due);
    } else if (type != 3) {
        EnqueueMailboxError(slave, kMbxErrorUnsupportedProtocol, due);
    } else if (length < 2) {
        EnqueueMailboxError(slave, kMbxErrorSizeTooShort, due);
    } else if ((WireLoad16(request + 6) >> 12) != 2) {
        EnqueueMailboxError(slave, kMbxErrorServiceNotSupported, due);
    } else {
        MailboxActive(slave, 1, &read_box);
        int room = read_box.length < kSimMailboxMessageBytes ? static_cast<int>(read_box.length) : static_cast<int>(kSimMailboxMessageBytes);
        uint8_t reply[kSimMailboxMessageBytes];
        int size = SimCoeServe(slave, request, 6 + length, reply, room);
        if (size > 0) {
            reply[5] = 0x03;
            Enqueue(slave, reply, size, due, lose, false);
        }
    }
}

void Place(SimSlave* slave, const SimMailboxMessage& message) {
    SimMailbox& mb = slave->mailbox;
    SmView view{};
    if (!MailboxActive(slave, 1, &view)) return;
    for (uint32_t i = 0; i < view.length; i++)
        slave->memory[(view.start + i) & 0xFFFF] = i < message.length ? message.bytes[i] : 0;
    mb.placed = message;
    mb.sm_full[1] = true;
    MirrorSm(slave, 1);
}

// Lazy firmware: takes a waiting request when there is room for its answers, and puts
// the next due answer into an empty read mailbox.
void Tick(SimSlave* slave) {
    SimMailbox& mb = slave->mailbox;
    if (!mb.firmware_running) return;
    SmView view{};
    if (mb.sm_full[0] && mb.queue_count + kAnswersPerRequest <= kSimMailboxQueue && MailboxActive(slave, 0, &view))
        TakeRequest(slave);
    if (mb.queue_count == 0 || mb.sm_full[1] || !MailboxActive(slave, 1, &view)) return;
    const SimMailboxMessage& next = mb.queue[mb.queue_head];
    if (next.due_us > SimNowMicros()) return;
    Place(slave, next);
    mb.queue_head = (mb.queue_head + 1) % kSimMailboxQueue;
    mb.queue_count--;
}

void ReadMailboxEmptied(SimSlave* slave) {
    SimMailbox& mb = slave->mailbox;
    mb.last_read = mb.placed;
    mb.last_read.lose_first_read = false;
    mb.has_last_read = true;
    mb.sm_full[1] = false;
    MirrorSm(slave, 1);
    Tick(slave);
}

// The master toggled the repeat request of the read mailbox: its last read got lost.
// The firmware puts that message back, unless the mailbox still holds one the master
// has not read (then that is what it is missing), and acknowledges.
void ServeRepeat(SimSlave* slave) {
    SimMailbox& mb = slave->mailbox;
    if (!mb.sm_full[1] && mb.has_last_read) Place(slave, mb.last_read);
    mb.sm_repeat_ack[1] = mb.sm_repeat_request[1];
    mb.repeats_served++;
    MirrorSm(slave, 1);
}

void SyncManagersWritten(SimSlave* slave, uint16_t address, uint16_t length) {
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
            if (n == 1 && mb.firmware_running) ServeRepeat(slave);
        }
        MirrorSm(slave, n);  // status and PDI control belong to the ESC and its firmware
    }
}

// The firmware serves mailboxes only as its SII describes them.
bool MailboxConfigMatchesSii(const SimSlave* slave) {
    const uint16_t* sii = slave->eeprom.words;
    if (sii[kSiiWordWriteMailboxSize] == 0) return true;  // no mailbox: nothing to check
    uint16_t read_length = sii[kSiiWordReadMailboxSize] != 0 ? sii[kSiiWordReadMailboxSize] : sii[kSiiWordWriteMailboxSize];
    SmView write_box{}, read_box{};
    if (!MailboxActive(slave, 0, &write_box) || !MailboxActive(slave, 1, &read_box)) return false;
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
    if (mb.firmware_running != was_running) ClearMailboxes(slave);
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

void Trace(SimSlave* slave, bool write, uint16_t address, uint16_t length, bool executed) {
    SimMailbox& mb = slave->mailbox;
    if (mb.keep_trace) mb.trace.push_back(SimAccess{write, address, length, executed});
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
        MirrorSm(slave, n);
    }
    mb.firmware_running = false;
    mb.reply_counter = 0;
    ClearMailboxes(slave);
    SimCoeBuildDefaults(slave);
    MirrorAl(slave);
}

bool SimMailboxBeforeRead(SimSlave* slave, uint16_t address, uint16_t length) {
    SimMailbox& mb = slave->mailbox;
    Tick(slave);
    SmView view{};
    if (MailboxActive(slave, 1, &view) && !MasterWrites(view) && Overlaps(view, address, length)) {
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

void SimMailboxAfterRead(SimSlave* slave, uint16_t address, uint16_t length) {
    SmView view{};
    if (MailboxActive(slave, 1, &view) && !MasterWrites(view) && slave->mailbox.sm_full[1] &&
        CoversLast(view, address, length))
        ReadMailboxEmptied(slave);
}

bool SimMailboxBeforeWrite(SimSlave* slave, uint16_t address, uint16_t length) {
    Tick(slave);
    SmView view{};
    if (MailboxActive(slave, 0, &view) && MasterWrites(view) && Overlaps(view, address, length) &&
        slave->mailbox.sm_full[0]) {
        Trace(slave, true, address, length, false);
        return false;
    }
    Trace(slave, true, address, length, true);
    return true;
}

void SimMailboxAfterWrite(SimSlave* slave, uint16_t address, uint16_t length) {
    uint32_t end = static_cast<uint32_t>(address) + length;
    if (address <= kRegAlControl && end > kRegAlControl) AlControlWritten(slave);
    if (address < kRegSyncManager + 8 * kSimSyncManagers && end > kRegSyncManager)
        SyncManagersWritten(slave, address, length);
    SmView view{};
    if (MailboxActive(slave, 0, &view) && MasterWrites(view) && CoversLast(view, address, length)) {
        slave->mailbox.sm_full[0] = true;
        MirrorSm(slave, 0);
        Tick(slave);
    }
}

void SimMailboxQueueMessage(SimSlave* slave, const uint8_t* message, int length, uint32_t delay_us, bool raw) {
    Enqueue(slave, message, length, SimNowMicros() + delay_us, false, raw);
}

// ---------------------------------------------------------------------------------
// ecsim options

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
