// SyncManager mailboxes, AL state machine and mailbox firmware of a simulated slave.
#include "sim/sim_mailbox.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/segment.h"
#include "sim/wire.h"

namespace {

constexpr uint16_t kRegAlControl = 0x0120;
constexpr uint16_t kRegAlStatus = 0x0130;
constexpr uint16_t kRegAlStatusCode = 0x0134;
constexpr uint16_t kRegEepromConfig = 0x0500;
constexpr uint16_t kRegSyncManager = 0x0800;
constexpr uint8_t kStateInit = 1;
constexpr uint8_t kStatePreOp = 2;
constexpr uint8_t kStateBoot = 3;
constexpr uint8_t kStateSafeOp = 4;
constexpr uint8_t kStateOp = 8;
constexpr int kAnswersPerRequest = 3;  // emergency, error reply, answer

struct SmView {
    uint16_t start;
    uint16_t length;
    uint8_t control;
};

SmView ReadSm(const SimSlave* slave, int n) {
    const uint8_t* r = slave->memory + kRegSyncManager + 8 * n;
    return SmView{SimGet16(r), SimGet16(r + 2), r[4]};
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
    SimPut16(slave->memory + kRegAlStatus, static_cast<uint16_t>(mb.al_state | (mb.al_error ? 0x10 : 0)));
    SimPut16(slave->memory + kRegAlStatusCode, mb.al_status_code);
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
    SimPut16(m, 4);
    m[5] = 0x00;  // type 0: mailbox error reply
    SimPut16(m + 6, 0x0001);
    SimPut16(m + 8, detail);
    Enqueue(slave, m, sizeof(m), due_us, false, false);
}

void EnqueueEmergency(SimSlave* slave, uint64_t due_us) {
    uint8_t m[16] = {0};
    SimPut16(m, 10);
    m[5] = 0x03;
    SimPut16(m + 6, 0x1000);  // CoE service 1: emergency
    SimPut16(m + 8, 0xFF10);  // manufacturer-specific error code
    m[10] = 0x81;             // error register: generic and manufacturer-specific
    m[11] = 0xA5;
    SimPut16(m + 12, 0x1234);
    SimPut16(m + 14, 0x5678);
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
    uint16_t length = SimGet16(request);
    uint8_t type = request[5] & 0x0F;
    if (6 + length > bytes) {
        EnqueueMailboxError(slave, kMbxErrorInvalidSize, due);
    } else if (type != 3) {
        EnqueueMailboxError(slave, kMbxErrorUnsupportedProtocol, due);
    } else if (length < 2) {
        EnqueueMailboxError(slave, kMbxErrorSizeTooShort, due);
    } else if ((SimGet16(request + 6) >> 12) != 2) {
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
    if (sii[0x19] == 0) return true;  // no mailbox: nothing to check
    uint16_t read_length = sii[0x1B] != 0 ? sii[0x1B] : sii[0x19];
    SmView write_box{}, read_box{};
    if (!MailboxActive(slave, 0, &write_box) || !MailboxActive(slave, 1, &read_box)) return false;
    return write_box.start == sii[0x18] && write_box.length == sii[0x19] && (write_box.control & 0x0F) == 0x06 &&
           read_box.start == sii[0x1A] && read_box.length == read_length && (read_box.control & 0x0F) == 0x02;
}

void Refuse(SimSlave* slave, uint16_t code) {
    slave->mailbox.al_error = true;
    slave->mailbox.al_status_code = code;
}

void EnterState(SimSlave* slave, uint8_t state) {
    SimMailbox& mb = slave->mailbox;
    bool was_running = mb.firmware_running;
    mb.al_state = state;
    mb.firmware_running = state != kStateInit && slave->eeprom.words[0x19] != 0;
    if (mb.firmware_running != was_running) ClearMailboxes(slave);
}

void AlControlWritten(SimSlave* slave) {
    SimMailbox& mb = slave->mailbox;
    uint8_t control = slave->memory[kRegAlControl];
    uint8_t requested = control & 0x0F;
    bool acknowledge = (control & 0x10) != 0;
    if (acknowledge) {
        mb.al_error = false;
        mb.al_status_code = 0;
    } else if (mb.al_error && requested != kStateInit) {
        MirrorAl(slave);
        return;  // an error must be acknowledged before anything but INIT is taken
    }
    uint8_t current = mb.al_state;
    if (requested == current) {
        // nothing to change
    } else if (requested == kStateInit) {
        EnterState(slave, kStateInit);
    } else if (requested == kStatePreOp) {
        if (current == kStateInit) {
            if (mb.faults.reads_sii_on_preop && (slave->memory[kRegEepromConfig] & 0x01) == 0)
                Refuse(slave, kAlCodeEepromNoAccess);
            else if (!MailboxConfigMatchesSii(slave))
                Refuse(slave, kAlCodeInvalidMailboxConfig);
            else
                EnterState(slave, kStatePreOp);
        } else {
            EnterState(slave, kStatePreOp);
        }
    } else if (requested == kStateSafeOp) {
        if (current == kStatePreOp || current == kStateOp)
            EnterState(slave, kStateSafeOp);
        else
            Refuse(slave, kAlCodeInvalidStateChange);
    } else if (requested == kStateOp) {
        if (current == kStateSafeOp)
            EnterState(slave, kStateOp);
        else
            Refuse(slave, kAlCodeInvalidStateChange);
    } else if (requested == kStateBoot) {
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
    mb.al_state = kStateInit;
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

bool ParseSelector(SimSegment* segment, const char* text, size_t length, int* first, int* last) {
    int count = static_cast<int>(segment->slaves.size());
    char buffer[32];
    if (length == 0 || length >= sizeof(buffer)) return false;
    memcpy(buffer, text, length);
    buffer[length] = '\0';
    if (strcmp(buffer, "all") == 0) {
        *first = 1;
        *last = count;
        return count > 0;
    }
    char* end = nullptr;
    long a = strtol(buffer, &end, 10);
    long b = a;
    if (*end == '-') b = strtol(end + 1, &end, 10);
    if (*end != '\0' || a < 1 || b < a || b > count) return false;
    *first = static_cast<int>(a);
    *last = static_cast<int>(b);
    return true;
}

bool ParseNumber(const char* text, long long minimum, long long maximum, long long* out) {
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    long long value = strtoll(text, &end, 0);
    if (*end != '\0' || value < minimum || value > maximum) return false;
    *out = value;
    return true;
}

int Bad(const char* option, const char* value, const char* why) {
    fprintf(stderr, "ecsim: %s %s: %s\n", option, value != nullptr ? value : "", why);
    return -1;
}

// --object SEL:INDEX:SUB:TYPE:VALUE, TYPE optionally prefixed "ro-".
int ParseObject(SimSegment* segment, const char* option, const char* value, int first, int last, const char* rest) {
    char index_text[16], sub_text[16], type_text[16];
    const char* fields[3] = {nullptr, nullptr, nullptr};
    char* outs[3] = {index_text, sub_text, type_text};
    const char* at = rest;
    for (int f = 0; f < 3; f++) {
        const char* colon = strchr(at, ':');
        if (colon == nullptr || colon - at >= 16) return Bad(option, value, "expected SEL:INDEX:SUB:TYPE:VALUE");
        memcpy(outs[f], at, static_cast<size_t>(colon - at));
        outs[f][colon - at] = '\0';
        fields[f] = outs[f];
        at = colon + 1;
    }
    long long index = 0, subindex = 0;
    if (!ParseNumber(fields[0], 0, 0xFFFF, &index) || !ParseNumber(fields[1], 0, 0xFF, &subindex))
        return Bad(option, value, "index 0..0xFFFF and subindex 0..255 expected");
    const char* type_name = fields[2];
    bool writable = true;
    if (strncmp(type_name, "ro-", 3) == 0) {
        writable = false;
        type_name += 3;
    }
    SimObjectType type;
    if (!SimObjectTypeParse(type_name, &type)) return Bad(option, value, "type u8 u16 u32 i8 i16 i32 string octets");
    for (int s = first; s <= last; s++) {
        SimSlave* slave = segment->slaves[static_cast<size_t>(s - 1)];
        if (type == kSimOctets && strcmp(type_name, "octets") == 0) {
            long long size = 0;
            if (!ParseNumber(at, 0, 65535, &size)) return Bad(option, value, "octets take a length 0..65535");
            std::vector<uint8_t> pattern(static_cast<size_t>(size));
            for (size_t i = 0; i < pattern.size(); i++) pattern[i] = static_cast<uint8_t>(i);
            SimObjectDefine(slave, static_cast<uint16_t>(index), static_cast<uint8_t>(subindex), type, writable,
                            pattern.data(), static_cast<uint32_t>(size));
        } else if (type == kSimOctets) {
            SimObjectDefine(slave, static_cast<uint16_t>(index), static_cast<uint8_t>(subindex), type, writable, at,
                            static_cast<uint32_t>(strlen(at)));
        } else {
            long long number = 0;
            if (!ParseNumber(at, -0x80000000LL, 0xFFFFFFFFLL, &number)) return Bad(option, value, "bad number");
            SimObjectDefineInteger(slave, static_cast<uint16_t>(index), static_cast<uint8_t>(subindex), type,
                                   writable, number);
        }
    }
    return 1;
}

}  // namespace

int SimMailboxParseOption(SimSegment* segment, const char* option, const char* value) {
    static const char* const kOptions[] = {"--sdo-emergency", "--sdo-mbx-error", "--sdo-lose-first-read",
                                           "--sdo-refuse-read", "--sdo-stall", "--sdo-delay",
                                           "--object", "--register", "--preop-reads-sii"};
    bool ours = false;
    for (const char* name : kOptions) ours = ours || strcmp(option, name) == 0;
    if (!ours) return 0;
    if (value == nullptr || *value == '\0') return Bad(option, value, "needs a value");
    const char* colon = strchr(value, ':');
    size_t selector_length = colon != nullptr ? static_cast<size_t>(colon - value) : strlen(value);
    int first = 0, last = 0;
    if (!ParseSelector(segment, value, selector_length, &first, &last))
        return Bad(option, value, "slave selector: a number, a range A-B or all, within the segment");
    if (strcmp(option, "--preop-reads-sii") == 0) {
        if (colon != nullptr) return Bad(option, value, "takes only a slave selector");
        for (int s = first; s <= last; s++) segment->slaves[static_cast<size_t>(s - 1)]->mailbox.faults.reads_sii_on_preop = true;
        return 1;
    }
    if (colon == nullptr) return Bad(option, value, "expected SEL:VALUE");
    const char* rest = colon + 1;
    if (strcmp(option, "--object") == 0) return ParseObject(segment, option, value, first, last, rest);
    if (strcmp(option, "--register") == 0) {
        const char* second = strchr(rest, ':');
        long long reg = 0, content = 0;
        char reg_text[24];
        if (second == nullptr || second - rest >= 24) return Bad(option, value, "expected SEL:REGISTER:VALUE");
        memcpy(reg_text, rest, static_cast<size_t>(second - rest));
        reg_text[second - rest] = '\0';
        if (!ParseNumber(reg_text, 0, 0xFFFFFF, &reg) || !ParseNumber(second + 1, -0x80000000LL, 0xFFFFFFFFLL, &content))
            return Bad(option, value, "register 0..0xFFFFFF and a 32-bit value expected");
        for (int s = first; s <= last; s++)
            SimRegisterSet(segment->slaves[static_cast<size_t>(s - 1)], static_cast<uint32_t>(reg),
                           static_cast<uint32_t>(content));
        return 1;
    }
    long long number = 0;
    if (!ParseNumber(rest, 0, 1000000000LL, &number)) return Bad(option, value, "expected a count 0..1000000000");
    for (int s = first; s <= last; s++) {
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

const char* SimMailboxOptionHelp() {
    return "Mailbox and CoE options (SEL: a slave number, a range A-B, or all):\n"
           "  --object SEL:INDEX:SUB:TYPE:VALUE  define an object entry; TYPE u8 u16 u32 i8 i16 i32 string\n"
           "                                     (VALUE is the text) or octets (VALUE is the length, bytes\n"
           "                                     0,1,2,...); prefix ro- for read-only, e.g. ro-u16\n"
           "  --register SEL:REGISTER:VALUE      preset a device register behind 0x7012/0x7013\n"
           "                                     (unwritten registers read as position<<24 | register)\n"
           "  --sdo-emergency SEL:N              the next N requests get an emergency before the answer\n"
           "  --sdo-mbx-error SEL:N              the next N requests get a mailbox error reply first\n"
           "  --sdo-lose-first-read SEL:N        the next N answers lose their first read (repeat needed)\n"
           "  --sdo-refuse-read SEL:N            the next N reads of a full read mailbox are not executed\n"
           "  --sdo-stall SEL:AFTER              answer AFTER more requests, then fall silent\n"
           "  --sdo-delay SEL:US                 every answer is due US microseconds after its request\n"
           "  --preop-reads-sii SEL              INIT->PRE-OP needs the EEPROM offered to the PDI\n"
           "                                     (0x0500 bit 0), else AL status code 0x0050\n";
}
