// Fixture for the mailbox, CoE and access tests: a virtual segment whose slaves have
// their addresses, mailbox SyncManagers and PRE-OP set up by plain datagrams, and
// master records filled by hand, so these tests do not lean on the bring-up.
#pragma once
#include <cstring>
#include <vector>

#include "link/datagram.h"
#include "sim/segment.h"
#include "slave/mailbox.h"
#include "support_segment.h"

class MailboxTest : public SegmentTest {
protected:
    static constexpr uint16_t kWriteOffset = 0x1000;

    // A segment of `count` slaves, every one with write and read mailboxes of the given
    // sizes, configured and in PRE-OP.
    void StartMailboxSegment(int count, uint16_t write_length = 128, uint16_t read_length = 128) {
        StartSegment(count);
        g_master.slave_count = count;
        for (int n = 1; n <= count; n++) ConfigureSlave(n, write_length, read_length);
    }

    SimSlave* Sim(int n) { return segment->slaves[static_cast<size_t>(n - 1)]; }
    SlaveRecord& Record(int n) { return g_master.slave_table[n]; }

    void ConfigureSlave(int n, uint16_t write_length, uint16_t read_length) {
        uint16_t read_offset = static_cast<uint16_t>(kWriteOffset + 0x0800);
        uint16_t* sii = Sim(n)->eeprom.words;
        sii[0x18] = kWriteOffset;
        sii[0x19] = write_length;
        sii[0x1A] = read_offset;
        sii[0x1B] = read_length;
        sii[0x1C] = 0x0004;
        uint16_t address = static_cast<uint16_t>(0x1000 + n);
        ASSERT_EQ(APWR(&g_master.port, static_cast<uint16_t>(1 - n), 0x0010, 2, &address, 6000), 1);
        SlaveRecord& record = Record(n);
        record.config_address = address;
        record.mbx_write_offset = kWriteOffset;
        record.mbx_length = write_length;
        record.mbx_read_offset = read_offset;
        record.mbx_read_length = read_length;
        record.mbx_counter = 0;
        WriteSyncManagers(n, kWriteOffset, write_length, read_offset, read_length);
        ASSERT_EQ(RequestState(n, 2), 2) << "slave " << n << " did not reach PRE-OP";
    }

    void WriteSyncManagers(int n, uint16_t write_offset, uint16_t write_length, uint16_t read_offset,
                           uint16_t read_length) {
        uint8_t image[16] = {0};
        SimPut16(image, write_offset);
        SimPut16(image + 2, write_length);
        image[4] = 0x26;
        image[6] = 0x01;
        SimPut16(image + 8, read_offset);
        SimPut16(image + 10, read_length);
        image[12] = 0x22;
        image[14] = 0x01;
        ASSERT_EQ(FPWR(&g_master.port, static_cast<uint16_t>(0x1000 + n), 0x0800, 16, image, 6000), 1);
    }

    // Writes AL control and returns AL status (state and error bit) as read back.
    uint16_t RequestState(int n, uint8_t control) {
        uint8_t request[2] = {control, 0};
        FPWR(&g_master.port, static_cast<uint16_t>(0x1000 + n), 0x0120, 2, request, 6000);
        uint8_t status[2] = {0, 0};
        FPRD(&g_master.port, static_cast<uint16_t>(0x1000 + n), 0x0130, 2, status, 6000);
        return SimGet16(status);
    }

    uint16_t AlStatusCode(int n) {
        uint8_t code[2] = {0, 0};
        FPRD(&g_master.port, static_cast<uint16_t>(0x1000 + n), 0x0134, 2, code, 6000);
        return SimGet16(code);
    }

    // The requests slave n's firmware took, as written.
    void KeepRequests(int n) {
        Sim(n)->mailbox.keep_requests = true;
        Sim(n)->mailbox.requests.clear();
    }
    const std::vector<std::vector<uint8_t>>& Requests(int n) { return Sim(n)->mailbox.requests; }

    void KeepTrace(int n) {
        Sim(n)->mailbox.keep_trace = true;
        Sim(n)->mailbox.trace.clear();
    }
    const std::vector<SimAccess>& Trace(int n) { return Sim(n)->mailbox.trace; }
    int CountAccesses(int n, bool write, uint16_t address) {
        int count = 0;
        for (const SimAccess& a : Trace(n))
            if (a.write == write && a.address == address) count++;
        return count;
    }

    // Answers the next request of slave n with exactly these message bytes (mailbox
    // header first; the firmware fills in its counter).
    void Script(int n, std::vector<uint8_t> message) { Sim(n)->mailbox.scripted.push_back(std::move(message)); }

public:
    // A CoE message: mailbox header with Length, CoE header, then the body bytes.
    static std::vector<uint8_t> CoeMessage(uint16_t coe_header, std::vector<uint8_t> body, int pad_to = 16) {
        std::vector<uint8_t> m(8, 0);
        uint16_t length = static_cast<uint16_t>(2 + body.size());
        SimPut16(m.data(), length);
        m[5] = 0x03;
        SimPut16(m.data() + 6, coe_header);
        m.insert(m.end(), body.begin(), body.end());
        if (static_cast<int>(m.size()) < pad_to) m.resize(static_cast<size_t>(pad_to), 0);
        return m;
    }
    // An SDO response of the initiate form: command, index, subindex, 4 bytes, data.
    static std::vector<uint8_t> SdoReply(uint8_t command, uint16_t index, uint8_t subindex, uint32_t value,
                                         std::vector<uint8_t> data = {}, uint16_t coe_header = 0x3000) {
        std::vector<uint8_t> body = {command, static_cast<uint8_t>(index), static_cast<uint8_t>(index >> 8), subindex,
                                     static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                                     static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
        body.insert(body.end(), data.begin(), data.end());
        return CoeMessage(coe_header, body);
    }

protected:
    int ErrorCount() const {
        const ErrorList& list = g_master.error_list;
        return (list.push_position - list.read_position + kErrorListSlots) % kErrorListSlots;
    }
    // The i-th entry still held, oldest first.
    const ErrorEntry& Error(int i) const {
        const ErrorList& list = g_master.error_list;
        return list.entries[(list.read_position + i) % kErrorListSlots];
    }
};
