// Mailbox transport and the error list.
#include "slave/mailbox.h"

#include <cstring>

#include "link/datagram.h"

namespace {

// Reads the read mailbox's status and activate bytes as one word. True when the slave
// answered; *word is then the value read.
bool ReadReadMailboxStatus(MasterContext* master, uint16_t address, uint16_t* word) {
    uint8_t bytes[2] = {0, 0};
    if (FPRD(&master->port, address, kRegSm1Status, 2, bytes, kMailboxPollTimeout) <= 0) return false;
    *word = MailboxGet16(bytes);
    return true;
}

// Polls the read mailbox until it shows full or the deadline passes; pauses between
// polls when asked to. *status keeps the last word actually read. True when full.
bool WaitForFull(MasterContext* master, uint16_t address, TimeStamp deadline, bool pause, uint16_t* status) {
    for (;;) {
        uint16_t word = 0;
        bool answered = ReadReadMailboxStatus(master, address, &word);
        if (answered) *status = word;
        bool full = answered && (word & kSmStatusFull) != 0;
        if (full) return true;
        if (pause) WaitMicrosecondsOf(master->port.clock, kMailboxPollPause);
        if (DeadlinePassedOf(master->port.clock, deadline)) return false;
    }
}

// The repeat handshake after a read of a full mailbox brought nothing: flip the repeat
// request bit, wait for the slave to acknowledge it, then wait for the message it puts
// back. True when the mailbox shows full again before the deadline.
bool RequestRepeat(MasterContext* master, uint16_t address, TimeStamp deadline, bool pause, uint16_t* status) {
    uint16_t request = static_cast<uint16_t>(*status ^ kSmRepeatRequest);
    uint8_t bytes[2];
    MailboxPut16(bytes, request);
    FPWR(&master->port, address, kRegSm1Status, 2, bytes, kMailboxPollTimeout);
    const uint8_t wanted_ack = (request & kSmRepeatRequest) != 0 ? kSmRepeatAck : 0;
    for (;;) {
        uint8_t pdi_control = 0;
        int wkc = FPRD(&master->port, address, kRegSm1PdiControl, 1, &pdi_control, kMailboxPollTimeout);
        if (wkc > 0 && (pdi_control & kSmRepeatAck) == wanted_ack) break;
        if (DeadlinePassedOf(master->port.clock, deadline)) break;
    }
    return WaitForFull(master, address, deadline, pause, status);
}

ErrorEntry BlankEntry(const MasterContext* master, uint16_t slave, uint16_t index, uint8_t subindex, int32_t type) {
    ErrorEntry entry;
    memset(&entry, 0, sizeof(entry));  // every field, the union's unused bytes included
    entry.time = ClockNowOf(master->port.clock);
    entry.slave = slave;
    entry.index = index;
    entry.subindex = subindex;
    entry.error_type = type;
    return entry;
}

// Error replies and emergencies answer no request: they are recorded and the receive
// goes on. True when the message was one of them.
bool RecordUnsolicited(MasterContext* master, uint16_t slave, const uint8_t* message) {
    uint8_t type = message[5] & 0x0F;
    if (type == kMailboxTypeError) {
        ErrorEntry entry = BlankEntry(master, slave, 0, 0, MAILBOX_ERROR);
        entry.error_code = MailboxGet16(message + 8);
        PushError(master, entry);
        return true;
    }
    if (type == kMailboxTypeCoe && (MailboxGet16(message + 6) >> 12) == 1) {
        ErrorEntry entry = BlankEntry(master, slave, 0, 0, EMERGENCY);
        entry.error_code = MailboxGet16(message + 8);
        entry.error_register = message[10];
        entry.mfr_byte = message[11];
        entry.mfr_word1 = MailboxGet16(message + 12);
        entry.mfr_word2 = MailboxGet16(message + 14);
        PushError(master, entry);
        return true;
    }
    return false;
}

// A mailbox shorter than its own header cannot carry a message.
bool MailboxLengthUsable(uint16_t length) { return length >= kMailboxHeaderBytes && length <= kMailboxBytes; }

}  // namespace

int MailboxEmpty(MasterContext* master, uint16_t slave) {
    const uint16_t address = master->slave_table[slave].config_address;
    TimeStamp deadline = DeadlineAfterOf(master->port.clock, kMailboxEmptyWait);
    for (;;) {
        uint8_t status = 0;
        int wkc = FPRD(&master->port, address, kRegSm0Status, 1, &status, kMailboxPollTimeout);
        if (wkc <= 0) status = 0;
        if (wkc > 0 && (status & kSmStatusFull) == 0) return 1;
        if (status & kSmStatusFull) WaitMicrosecondsOf(master->port.clock, kMailboxPollPause);
        if (DeadlinePassedOf(master->port.clock, deadline)) return 0;
    }
}

int MailboxSend(MasterContext* master, uint16_t slave, const MailboxBuffer* message) {
    const SlaveRecord& record = master->slave_table[slave];
    const uint16_t length = record.mbx_length;
    if (!MailboxLengthUsable(length)) return 0;
    if (MailboxEmpty(master, slave) == 0) return 0;
    // The whole mailbox is written: the slave takes a message once its last byte is in.
    return FPWR(&master->port, record.config_address, record.mbx_write_offset, length, message->bytes,
                kMailboxWriteTimeout);
}

int MailboxReceive(MasterContext* master, uint16_t slave, MailboxBuffer* message, int32_t timeout_us) {
    const SlaveRecord& record = master->slave_table[slave];
    const uint16_t length = record.mbx_read_length;
    if (!MailboxLengthUsable(length) || timeout_us < 0) return 0;
    const uint16_t address = record.config_address;
    TimeStamp deadline = DeadlineAfterOf(master->port.clock, static_cast<uint32_t>(timeout_us));
    const bool pause = timeout_us > kMailboxPollPause;
    uint16_t status = 0;
    if (!WaitForFull(master, address, deadline, pause, &status)) return 0;
    // Whether the last thing seen of the mailbox was its full bit. A read that fails
    // then has lost a message on the way, which the repeat handshake brings back. A
    // read made straight after an error reply or an emergency has not seen the bit:
    // when the slave answers it with working counter 0, the mailbox was empty and
    // nothing was lost, so the wait for the full bit resumes; asking for a repeat
    // would only bring the error reply back a second time. Such a read that got no
    // answer at all may have emptied the mailbox on its way, and still asks for one.
    bool showed_full = true;
    for (;;) {
        int result = FPRD(&master->port, address, record.mbx_read_offset, length, message->bytes, kMailboxPollTimeout);
        if (result > 0) {
            if (!RecordUnsolicited(master, slave, message->bytes)) return result;
            result = 0;
            showed_full = false;  // the real reply may already wait: read again at once
        } else if (showed_full || result < 0) {
            showed_full = RequestRepeat(master, address, deadline, pause, &status);
        } else {
            showed_full = WaitForFull(master, address, deadline, pause, &status);
        }
        if (DeadlinePassedOf(master->port.clock, deadline)) return result;
    }
}

uint8_t NextMailboxCounter(MasterContext* master, uint16_t slave) {
    SlaveRecord& record = master->slave_table[slave];
    if (record.mbx_counter == kMailboxCounterRestart) {
        record.mbx_counter = 0;
        return 0;
    }
    uint8_t next = static_cast<uint8_t>(record.mbx_counter + 1);
    if (next > 7) next = 1;
    record.mbx_counter = next;
    return next;
}

void PushError(MasterContext* master, const ErrorEntry& entry) {
    std::lock_guard<std::mutex> hold(master->error_lock);
    ErrorList& list = master->error_list;
    // Positions outside the ring (a context someone scribbled on) restart it rather
    // than write past the slots.
    if (list.push_position < 0 || list.push_position >= kErrorListSlots) list.push_position = 0;
    if (list.read_position < 0 || list.read_position >= kErrorListSlots) list.read_position = 0;
    ErrorEntry& slot = list.entries[list.push_position];
    slot = entry;
    slot.signalled = 1;
    list.push_position = static_cast<int16_t>(list.push_position + 1);
    if (list.push_position >= kErrorListSlots) list.push_position = 0;
    if (list.push_position == list.read_position) list.read_position = static_cast<int16_t>(list.read_position + 1);
    if (list.read_position >= kErrorListSlots) list.read_position = 0;
    master->error_flag = 1;
}

void PacketError(MasterContext* master, uint16_t slave, uint16_t index, uint8_t subindex, uint16_t code) {
    ErrorEntry entry = BlankEntry(master, slave, index, subindex, PACKET_ERROR);
    entry.error_code = code;
    PushError(master, entry);
}

void SdoAbortError(MasterContext* master, uint16_t slave, uint16_t index, uint8_t subindex, int32_t abort_code) {
    ErrorEntry entry = BlankEntry(master, slave, index, subindex, SDO_ABORT);
    entry.abort_code = abort_code;
    PushError(master, entry);
}
