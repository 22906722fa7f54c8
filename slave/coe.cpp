// CoE SDO transfers.
#include "slave/coe.h"

#include <cstring>

#include "slave/mailbox.h"

namespace {

struct Transfer {
    uint16_t slave;
    MailboxBuffer request;
    MailboxBuffer reply;
};

// Starts a request: mailbox header with a fresh counter, CoE header of an SDO request.
uint8_t* LayRequest(MasterContext* master, Transfer* transfer, uint16_t length) {
    uint8_t* m = transfer->request.bytes;
    memset(m, 0, sizeof(transfer->request.bytes));
    MailboxPut16(m, length);
    m[5] = static_cast<uint8_t>((NextMailboxCounter(master, transfer->slave) << 4) | kMailboxTypeCoe);
    MailboxPut16(m + 6, kCoeHeaderSdoRequest);
    return m;
}

void LayAddress(uint8_t* m, uint16_t index, uint8_t subindex) {
    MailboxPut16(m + 9, index);
    m[11] = subindex;
}

void OweAnswer(MasterContext* master, uint16_t slave) {
    OwedAnswer& owed = master->owed_answers[slave];
    if (owed.count < 7) owed.count++;
    owed.since = ClockNowOf(master->port.clock);
}

// One request/reply pair. The reply buffer is cleared before the receive. A request
// that was written but got no answer leaves an answer owed; so does one whose mailbox
// write got no reply at all (NoFrame, ForeignFrame): the slave may have taken it, and
// its answer must not pass for the next request's.
int Exchange(MasterContext* master, Transfer* transfer, int32_t timeout_us) {
    int result = MailboxSend(master, transfer->slave, &transfer->request);
    if (result < 0) OweAnswer(master, transfer->slave);
    if (result <= 0) return result;
    memset(transfer->reply.bytes, 0, sizeof(transfer->reply.bytes));
    result = MailboxReceive(master, transfer->slave, &transfer->reply, timeout_us);
    if (result <= 0) OweAnswer(master, transfer->slave);
    return result;
}

// Takes away the answers the slave still owes for requests given up earlier, waiting
// for them until kOwedAnswerWaitUs after the last was given up, but not past the
// caller's deadline: that wait is part of the call's timeout, never added to it. Without
// this a slow slave's late answer would be read as the answer to the next request: an
// upload of the same object would return the earlier value as a success. False when the
// deadline came first and answers are still owed: no request may go out yet.
bool CollectOwedAnswers(MasterContext* master, Transfer* transfer, TimeStamp deadline) {
    OwedAnswer& owed = master->owed_answers[transfer->slave];
    while (owed.count > 0) {
        TimeStamp until = TimeStampAdd(owed.since, kOwedAnswerWaitUs);
        TimeStamp now = ClockNowOf(master->port.clock);
        if (TimeStampReached(now, until)) break;
        const bool deadline_first = TimeStampReached(until, deadline) && !TimeStampReached(deadline, until);
        TimeStamp stop = deadline_first ? deadline : until;
        int64_t wait = TimeStampMicrosBetween(now, stop);
        if (wait < 0) wait = 0;
        memset(transfer->reply.bytes, 0, sizeof(transfer->reply.bytes));
        if (MailboxReceive(master, transfer->slave, &transfer->reply, static_cast<int32_t>(wait)) > 0) {
            owed.count--;
            continue;
        }
        if (deadline_first) return false;
        break;
    }
    owed.count = 0;  // whatever did not come in time is written off
    return true;
}

// What is left of a timeout that started at `start`, never below 0.
int32_t RemainingAfter(const MasterContext* master, TimeStamp start, int32_t timeout_us) {
    int64_t spent = TimeStampMicrosBetween(start, ClockNowOf(master->port.clock));
    int64_t left = static_cast<int64_t>(timeout_us) - spent;
    return left > 0 ? static_cast<int32_t>(left) : 0;
}

bool IsCoe(const uint8_t* m) { return (m[5] & 0x0F) == kMailboxTypeCoe; }
bool IsSdoResponse(const uint8_t* m) { return IsCoe(m) && (MailboxGet16(m + 6) >> 12) == kCoeServiceSdoResponse; }

// An abort ends the transfer whatever else the reply carries: it names the request's
// object, so it must not pass for a reply that accepted the request.
bool IsAbort(const uint8_t* m) { return IsCoe(m) && m[8] == kSdoAbort; }

// The server's command specifier (bits 5-7 of the command byte) of an initiate reply.
// Checking it keeps the late answer to an abandoned transfer in the other direction on
// the same object from passing for this one's: a download's confirmation read as an
// upload would deliver 0 bytes as a success, an upload's answer would confirm a
// download.
constexpr uint8_t kSdoServerCommand = 0xE0;
constexpr uint8_t kSdoUploadInitiateReply = 0x40;
constexpr uint8_t kSdoDownloadInitiateReply = 0x60;
bool IsInitiateReply(const uint8_t* m, uint8_t specifier) { return (m[8] & kSdoServerCommand) == specifier; }

// The entry for a reply that failed its test: the slave's abort, or an unusable reply.
void RecordRefusal(MasterContext* master, const Transfer& transfer, uint16_t index, uint8_t subindex) {
    const uint8_t* m = transfer.reply.bytes;
    if (m[8] == kSdoAbort)
        SdoAbortError(master, transfer.slave, index, subindex, static_cast<int32_t>(MailboxGet32(m + 12)));
    else
        PacketError(master, transfer.slave, index, subindex, kPacketErrorUnexpectedReply);
}

// Whether a reply carrying data holds every byte its Length announces within the bytes
// read from the mailbox, and at least the 7 data bytes a segment always has (which
// also keeps a slave from dragging a transfer on with empty segments).
bool ReplyLengthSound(uint16_t length, int bytes_read) {
    return length >= 10 && kMailboxHeaderBytes + static_cast<int>(length) <= bytes_read;
}

uint8_t RequestSubindex(uint8_t subindex, bool complete_access) {
    return complete_access && subindex > 1 ? 1 : subindex;
}

bool WriteMailboxCarriesSdo(const SlaveRecord& record) {
    return record.mbx_length >= kSdoMinimumMailbox && record.mbx_length <= kMailboxBytes;
}

// Takes away a message that may still wait in the read mailbox from an earlier,
// abandoned exchange, so it cannot pass for this transfer's reply. Returns the timeout
// left for the first exchange (the wait for owed answers is taken from it), or -1 when
// answers are still owed at the end of the timeout: then nothing may be sent.
int32_t FlushReadMailbox(MasterContext* master, Transfer* transfer, int32_t timeout_us) {
    const TimeStamp start = ClockNowOf(master->port.clock);
    if (!CollectOwedAnswers(master, transfer, TimeStampAdd(start, static_cast<uint32_t>(timeout_us)))) return -1;
    memset(transfer->reply.bytes, 0, sizeof(transfer->reply.bytes));
    MailboxReceive(master, transfer->slave, &transfer->reply, 0);
    memset(transfer->request.bytes, 0, sizeof(transfer->request.bytes));
    return RemainingAfter(master, start, timeout_us);
}

// The segments after a normal upload's first reply. `delivered` bytes are already in
// data. Ends on the last segment, on an abort or unusable reply, on data that would
// pass the capacity, and on an exchange that got no reply.
int UploadSegments(MasterContext* master, Transfer* transfer, uint16_t index, uint8_t subindex, int32_t capacity,
                   int32_t* size, uint8_t* data, int32_t timeout_us) {
    const int bytes_read = master->slave_table[transfer->slave].mbx_read_length;
    int32_t delivered = *size;
    uint8_t toggle = 0;
    for (;;) {
        uint8_t* request = LayRequest(master, transfer, 10);
        request[8] = static_cast<uint8_t>(kSdoUploadSegment + toggle);
        LayAddress(request, index, subindex);
        int result = Exchange(master, transfer, timeout_us);
        // A slave that falls silent in mid-transfer ends it: going on would only send
        // more requests into a mailbox nobody empties.
        if (result <= 0) return result;
        const uint8_t* m = transfer->reply.bytes;
        if (IsAbort(m) || !IsSdoResponse(m) || (m[8] & 0xE0) != 0) {
            RecordRefusal(master, *transfer, index, subindex);
            return 0;
        }
        uint16_t length = MailboxGet16(m);
        if (!ReplyLengthSound(length, bytes_read)) {
            PacketError(master, transfer->slave, index, subindex, kPacketErrorUnexpectedReply);
            return 0;
        }
        int32_t count = length - 3;
        const bool last = (m[8] & kSdoLastSegment) != 0;
        if (last && count == 7) count = 7 - ((m[8] >> 1) & 7);
        if (count > capacity - delivered) {
            PacketError(master, transfer->slave, index, subindex, kPacketErrorDoesNotFit);
            return 0;
        }
        memcpy(data + delivered, m + 9, static_cast<size_t>(count));
        delivered += count;
        *size = delivered;
        if (last) return result;
        toggle ^= kSdoToggle;
    }
}

}  // namespace

int SdoUpload(MasterContext* master, uint16_t slave, uint16_t index, uint8_t subindex, uint8_t complete_access,
              int32_t* size, void* data, int32_t timeout_us) {
    if (size == nullptr || *size < 0 || (data == nullptr && *size > 0) || timeout_us < 0) return 0;
    const SlaveRecord& record = master->slave_table[slave];
    if (!WriteMailboxCarriesSdo(record)) return 0;
    const int32_t capacity = *size;
    const bool whole_object = complete_access != 0;
    const uint8_t request_subindex = RequestSubindex(subindex, whole_object);
    uint8_t* out = static_cast<uint8_t*>(data);

    Transfer transfer;
    transfer.slave = slave;
    const int32_t first_timeout = FlushReadMailbox(master, &transfer, timeout_us);
    if (first_timeout < 0) return NoFrame;  // the slave still owes an earlier answer
    uint8_t* request = LayRequest(master, &transfer, 10);
    request[8] = whole_object ? kSdoUploadInitiate + kSdoCompleteAccess : kSdoUploadInitiate;
    LayAddress(request, index, request_subindex);
    int result = Exchange(master, &transfer, first_timeout);
    if (result <= 0) return result;

    const uint8_t* m = transfer.reply.bytes;
    const int bytes_read = record.mbx_read_length;
    // The subindex is compared too: another entry's answer would hand over its bytes.
    if (IsAbort(m) || !IsSdoResponse(m) || !IsInitiateReply(m, kSdoUploadInitiateReply) ||
        MailboxGet16(m + 9) != index || m[11] != request_subindex) {
        RecordRefusal(master, transfer, index, request_subindex);
        return 0;
    }
    const uint8_t command = m[8];
    if (command & kSdoExpeditedBit) {
        const int32_t count = 4 - ((command >> 2) & 3);
        if (capacity < count) {
            PacketError(master, slave, index, request_subindex, kPacketErrorDoesNotFit);
            return 0;
        }
        if (bytes_read < 16) {  // the four data bytes were never read
            PacketError(master, slave, index, request_subindex, kPacketErrorUnexpectedReply);
            return 0;
        }
        memcpy(out, m + 12, static_cast<size_t>(count));
        *size = count;
        return result;
    }
    const uint32_t total = MailboxGet32(m + 12);
    if (total > static_cast<uint32_t>(capacity)) {
        PacketError(master, slave, index, request_subindex, kPacketErrorDoesNotFit);
        return 0;
    }
    const uint16_t length = MailboxGet16(m);
    if (!ReplyLengthSound(length, bytes_read)) {
        PacketError(master, slave, index, request_subindex, kPacketErrorUnexpectedReply);
        return 0;
    }
    const uint32_t first = static_cast<uint32_t>(length - 10);
    if (first >= total) {
        memcpy(out, m + 16, total);
        *size = static_cast<int32_t>(total);
        return result;
    }
    memcpy(out, m + 16, first);
    *size = static_cast<int32_t>(first);
    return UploadSegments(master, &transfer, index, request_subindex, capacity, size, out, timeout_us);
}

int SdoDownload(MasterContext* master, uint16_t slave, uint16_t index, uint8_t subindex, uint8_t complete_access,
                int32_t size, const void* data, int32_t timeout_us) {
    // Nothing to write, more than a complete size can announce, or no data: refused
    // before anything goes on the wire.
    if (size <= 0 || size > kSdoMaximumDownload || data == nullptr || timeout_us < 0) return 0;
    const SlaveRecord& record = master->slave_table[slave];
    if (!WriteMailboxCarriesSdo(record)) return 0;
    const bool whole_object = complete_access != 0;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);

    Transfer transfer;
    transfer.slave = slave;
    const int32_t first_timeout = FlushReadMailbox(master, &transfer, timeout_us);
    if (first_timeout < 0) return NoFrame;  // the slave still owes an earlier answer

    if (size <= 4 && !whole_object) {
        uint8_t* request = LayRequest(master, &transfer, 10);
        request[8] = static_cast<uint8_t>(kSdoDownloadExpedited + ((4 - size) & 3) * 4);
        LayAddress(request, index, subindex);
        memcpy(request + 12, bytes, static_cast<size_t>(size));
        int result = Exchange(master, &transfer, first_timeout);
        if (result <= 0) return result;
        const uint8_t* m = transfer.reply.bytes;
        if (!IsAbort(m) && IsSdoResponse(m) && IsInitiateReply(m, kSdoDownloadInitiateReply) &&
            MailboxGet16(m + 9) == index && m[11] == subindex)
            return result;
        RecordRefusal(master, transfer, index, subindex);
        return 0;
    }

    const int32_t max_data = record.mbx_length - 16;  // data room of the first request
    const int32_t first = size < max_data ? size : max_data;
    const uint8_t request_subindex = RequestSubindex(subindex, whole_object);
    uint8_t* request = LayRequest(master, &transfer, static_cast<uint16_t>(first + 10));
    request[8] = whole_object ? kSdoDownloadNormal + kSdoCompleteAccess : kSdoDownloadNormal;
    LayAddress(request, index, request_subindex);
    MailboxPut32(request + 12, static_cast<uint32_t>(size));
    memcpy(request + 16, bytes, static_cast<size_t>(first));
    int result = Exchange(master, &transfer, first_timeout);
    if (result <= 0) return result;
    const uint8_t* m = transfer.reply.bytes;
    if (IsAbort(m) || !IsSdoResponse(m) || !IsInitiateReply(m, kSdoDownloadInitiateReply) ||
        MailboxGet16(m + 9) != index || m[11] != request_subindex) {
        RecordRefusal(master, transfer, index, subindex);
        return 0;
    }
    if (size <= max_data) return result;

    const int32_t segment_max = record.mbx_length - 9;  // data room of a segment request
    int32_t position = first;
    uint8_t toggle = 0;
    for (;;) {
        const int32_t remaining = size - position;
        int32_t count = remaining;
        uint8_t command = kSdoLastSegment;
        uint16_t length = static_cast<uint16_t>(count + 3);
        bool last = true;
        if (remaining > segment_max) {
            count = segment_max;
            command = 0x00;
            length = static_cast<uint16_t>(count + 3);
            last = false;
        } else if (remaining < 7) {
            command = static_cast<uint8_t>(kSdoLastSegment + (7 - remaining) * 2);  // unused bytes in bits 1-3
            length = 10;
        }
        request = LayRequest(master, &transfer, length);
        request[8] = static_cast<uint8_t>(command + toggle);
        memcpy(request + 9, bytes + position, static_cast<size_t>(count));
        position += count;
        result = Exchange(master, &transfer, timeout_us);
        // A segment the slave did not take, or did not answer, leaves a hole in the
        // object: the transfer ends here with that exchange's result.
        if (result <= 0) return result;
        if (IsAbort(m) || !IsSdoResponse(m) || (m[8] & 0xE0) != 0x20) {
            RecordRefusal(master, transfer, index, subindex);
            return 0;
        }
        if (last) return result;
        toggle ^= kSdoToggle;
    }
}
