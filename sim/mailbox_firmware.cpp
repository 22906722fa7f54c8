// The mailbox firmware of a simulated slave: in PRE-OP and above it takes each request
// out of the write mailbox (SyncManager 0), hands CoE messages to the SDO server
// (sim_coe) and puts the answers into the read mailbox (SyncManager 1), lazily: an
// answer appears once it is due, at the next access to the slave. No threads.
#include <cstring>

#include "sim/mailbox_internal.h"
#include "sim/segment.h"
#include "sim/sim_clock.h"
#include "wire/byte_order.h"

namespace {

constexpr int kAnswersPerRequest = 3;  // emergency, error reply, answer

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
    SimSmView write_box{}, read_box{};
    SimSmMailboxActive(slave, 0, &write_box);
    int bytes = write_box.length < kSimMailboxMessageBytes ? static_cast<int>(write_box.length) : static_cast<int>(kSimMailboxMessageBytes);
    uint8_t request[kSimMailboxMessageBytes];
    for (int i = 0; i < bytes; i++) request[i] = slave->memory[(write_box.start + i) & 0xFFFF];
    mb.sm_full[0] = false;
    SimSmMirror(slave, 0);
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

    uint64_t due = SimSlaveNowMicros(slave) + mb.faults.delay_us;
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
        SimSmMailboxActive(slave, 1, &read_box);
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
    SimSmView view{};
    if (!SimSmMailboxActive(slave, 1, &view)) return;
    for (uint32_t i = 0; i < view.length; i++)
        slave->memory[(view.start + i) & 0xFFFF] = i < message.length ? message.bytes[i] : 0;
    mb.placed = message;
    mb.sm_full[1] = true;
    SimSmMirror(slave, 1);
}

}  // namespace

void SimFirmwareClearMailboxes(SimSlave* slave) {
    SimMailbox& mb = slave->mailbox;
    mb.queue_head = 0;
    mb.queue_count = 0;
    mb.has_last_read = false;
    mb.last_request_counter = 0;
    mb.sm_full[0] = false;
    mb.sm_full[1] = false;
    SimSmMirror(slave, 0);
    SimSmMirror(slave, 1);
    SimCoeReset(slave);
}

// Lazy firmware: takes a waiting request when there is room for its answers, and puts
// the next due answer into an empty read mailbox.
void SimFirmwareTick(SimSlave* slave) {
    SimMailbox& mb = slave->mailbox;
    if (!mb.firmware_running) return;
    SimSmView view{};
    if (mb.sm_full[0] && mb.queue_count + kAnswersPerRequest <= kSimMailboxQueue && SimSmMailboxActive(slave, 0, &view))
        TakeRequest(slave);
    if (mb.queue_count == 0 || mb.sm_full[1] || !SimSmMailboxActive(slave, 1, &view)) return;
    const SimMailboxMessage& next = mb.queue[mb.queue_head];
    if (next.due_us > SimSlaveNowMicros(slave)) return;
    Place(slave, next);
    mb.queue_head = (mb.queue_head + 1) % kSimMailboxQueue;
    mb.queue_count--;
}

// The master toggled the repeat request of the read mailbox: its last read got lost.
// The firmware puts that message back, unless the mailbox still holds one the master
// has not read (then that is what it is missing), and acknowledges.
void SimFirmwareServeRepeat(SimSlave* slave) {
    SimMailbox& mb = slave->mailbox;
    if (!mb.sm_full[1] && mb.has_last_read) Place(slave, mb.last_read);
    mb.sm_repeat_ack[1] = mb.sm_repeat_request[1];
    mb.repeats_served++;
    SimSmMirror(slave, 1);
}

void SimMailboxQueueMessage(SimSlave* slave, const uint8_t* message, int length, uint32_t delay_us, bool raw) {
    Enqueue(slave, message, length, SimSlaveNowMicros(slave) + delay_us, false, raw);
}
