// The simulated slave's mailbox side: AL state machine, SyncManager mailboxes, the SDO
// server's protocol checks and the ecsim options. The master's tests lean on these.
#include "slave/coe.h"
#include "test_mailbox_fixture.h"

class MailboxSim : public MailboxTest {
protected:
    uint16_t Address(int n) { return static_cast<uint16_t>(0x1000 + n); }
    int Write(int n, uint16_t reg, std::vector<uint8_t> bytes) {
        return FPWR(&g_master.port, Address(n), reg, static_cast<uint16_t>(bytes.size()), bytes.data(), 2000);
    }
    int Read(int n, uint16_t reg, uint16_t length, uint8_t* out) {
        return FPRD(&g_master.port, Address(n), reg, length, out, 2000);
    }
    // Sends a raw message into slave n's write mailbox and returns the reply read.
    std::vector<uint8_t> Exchange(int n, std::vector<uint8_t> message) {
        MailboxBuffer request{};
        memcpy(request.bytes, message.data(), message.size());
        EXPECT_EQ(MailboxSend(&g_master, static_cast<uint16_t>(n), &request), 1);
        MailboxBuffer reply{};
        if (MailboxReceive(&g_master, static_cast<uint16_t>(n), &reply, 50000) <= 0) return {};
        return std::vector<uint8_t>(reply.bytes, reply.bytes + 16);
    }
    static std::vector<uint8_t> Request(uint8_t counter, uint8_t command, uint16_t index, uint32_t value = 0,
                                        uint16_t length = 10) {
        std::vector<uint8_t> m = SdoReply(command, index, 0, value, {}, 0x2000);
        SimPut16(m.data(), length);
        m[5] = static_cast<uint8_t>(counter << 4 | 3);
        return m;
    }
};

TEST_F(MailboxSim, AlStateMachineChecksAndAcknowledges) {
    StartMailboxSegment(1);
    ASSERT_EQ(RequestState(1, 0x11), 1) << "INIT with acknowledge";
    // SyncManager 1 shorter than the SII says: refused with the mailbox code.
    WriteSyncManagers(1, kWriteOffset, 128, 0x1800, 64);
    EXPECT_EQ(RequestState(1, 0x02), 0x11);
    EXPECT_EQ(AlStatusCode(1), 0x0016);
    EXPECT_EQ(RequestState(1, 0x04), 0x11) << "without acknowledge nothing else is taken";
    EXPECT_EQ(RequestState(1, 0x11), 0x01);
    EXPECT_EQ(AlStatusCode(1), 0);
    WriteSyncManagers(1, kWriteOffset, 128, 0x1800, 128);
    EXPECT_EQ(RequestState(1, 0x02), 0x02);
    EXPECT_EQ(RequestState(1, 0x08), 0x12) << "PRE-OP to OP skips SAFE-OP";
    EXPECT_EQ(AlStatusCode(1), 0x0011);
    EXPECT_EQ(RequestState(1, 0x14), 0x04) << "acknowledged, then SAFE-OP";
    EXPECT_EQ(RequestState(1, 0x08), 0x08);
    EXPECT_EQ(RequestState(1, 0x03), 0x18);
    EXPECT_EQ(AlStatusCode(1), 0x0013) << "no bootstrap";
    EXPECT_EQ(RequestState(1, 0x15), 0x18);
    EXPECT_EQ(AlStatusCode(1), 0x0012) << "unknown state";
    EXPECT_EQ(RequestState(1, 0x01), 0x11) << "INIT is taken even with the error shown";
    EXPECT_EQ(RequestState(1, 0x11), 0x01);

    // A slave that reads its SII on the way to PRE-OP needs the EEPROM offered.
    Sim(1)->mailbox.faults.reads_sii_on_preop = true;
    ASSERT_EQ(Write(1, 0x0500, {0x00}), 1);
    EXPECT_EQ(RequestState(1, 0x02), 0x11);
    EXPECT_EQ(AlStatusCode(1), 0x0050);
    ASSERT_EQ(Write(1, 0x0500, {0x01}), 1);
    EXPECT_EQ(RequestState(1, 0x12), 0x02);
}

TEST_F(MailboxSim, SyncManagersGateTheMasterAccesses) {
    StartMailboxSegment(1);
    ASSERT_EQ(RequestState(1, 0x01), 1);  // firmware off: nothing empties the mailboxes
    std::vector<uint8_t> half(64, 0xAA), rest(64, 0xBB);
    EXPECT_EQ(Write(1, kWriteOffset, half), 1);
    uint8_t status = 0;
    Read(1, 0x0805, 1, &status);
    EXPECT_EQ(status & 0x08, 0) << "not full until the last byte is written";
    EXPECT_EQ(Write(1, kWriteOffset + 64, rest), 1);
    Read(1, 0x0805, 1, &status);
    EXPECT_EQ(status & 0x08, 0x08);
    EXPECT_EQ(Write(1, kWriteOffset, half), 0) << "a full write mailbox takes nothing";
    uint8_t buffer[128];
    EXPECT_EQ(Read(1, 0x1800, 128, buffer), 0) << "an empty read mailbox gives nothing";
    EXPECT_EQ(Write(1, 0x0805, {0x00}), 1);
    Read(1, 0x0805, 1, &status);
    EXPECT_EQ(status & 0x08, 0x08) << "the status byte is the controller's";
    // Disabled SyncManagers leave plain memory.
    ASSERT_EQ(Write(1, 0x0806, {0x00}), 1);
    ASSERT_EQ(Write(1, 0x080E, {0x00}), 1);
    EXPECT_EQ(Write(1, kWriteOffset, half), 1);
    EXPECT_EQ(Write(1, kWriteOffset, rest), 1);
    EXPECT_EQ(Read(1, 0x1800, 128, buffer), 1);
}

TEST_F(MailboxSim, SdoServerRefusesBrokenSequences) {
    StartMailboxSegment(1);
    SimObjectDefine(Sim(1), 0x2100, 0, kSimOctets, true, nullptr, 0);
    // A segment with no transfer open.
    std::vector<uint8_t> reply = Exchange(1, Request(1, 0x00, 0));
    ASSERT_EQ(reply.size(), 16u);
    EXPECT_EQ(reply[8], 0x80);
    EXPECT_EQ(SimGet32(reply.data() + 12), 0x05040001u);
    // A normal download of 200 bytes, then a first segment with the toggle set.
    std::vector<uint8_t> initiate = Request(2, 0x21, 0x2100, 200, 10);
    reply = Exchange(1, initiate);
    ASSERT_EQ(reply.size(), 16u);
    EXPECT_EQ(reply[8], 0x60);
    reply = Exchange(1, Request(3, 0x10, 0, 0, 10));
    ASSERT_EQ(reply.size(), 16u);
    EXPECT_EQ(reply[8], 0x80);
    EXPECT_EQ(SimGet32(reply.data() + 12), 0x05030000u) << "toggle not alternated";
    // A message of another protocol gets a mailbox error reply.
    std::vector<uint8_t> other = Request(4, 0x40, 0x1000);
    other[5] = static_cast<uint8_t>(4 << 4 | 4);
    Exchange(1, other);
    ASSERT_GE(ErrorCount(), 1);
    EXPECT_EQ(Error(ErrorCount() - 1).error_type, MAILBOX_ERROR);
    EXPECT_EQ(Error(ErrorCount() - 1).error_code, 0x0002);
}

TEST_F(MailboxSim, RepeatedCounterIsServedOnce) {
    StartMailboxSegment(1);
    KeepRequests(1);
    std::vector<uint8_t> request = Request(5, 0x40, 0x1000);
    std::vector<uint8_t> reply = Exchange(1, request);
    ASSERT_EQ(reply.size(), 16u);
    EXPECT_EQ(reply[8], 0x43);
    // The same message again, as the frame port sends it when a reply was late.
    MailboxBuffer again{};
    memcpy(again.bytes, request.data(), request.size());
    EXPECT_EQ(MailboxSend(&g_master, 1, &again), 1);
    MailboxBuffer nothing{};
    EXPECT_EQ(MailboxReceive(&g_master, 1, &nothing, 5000), 0);
    EXPECT_EQ(Requests(1).size(), 1u);
}

TEST_F(MailboxSim, OptionsSelectSlavesAndRefuseBadValues) {
    StartMailboxSegment(3);
    EXPECT_EQ(SimMailboxParseOption(segment, "--sdo-delay", "all:500"), 1);
    for (int n = 1; n <= 3; n++) EXPECT_EQ(Sim(n)->mailbox.faults.delay_us, 500u);
    EXPECT_EQ(SimMailboxParseOption(segment, "--sdo-emergency", "2-3:4"), 1);
    EXPECT_EQ(Sim(1)->mailbox.faults.emergencies, 0);
    EXPECT_EQ(Sim(3)->mailbox.faults.emergencies, 4);
    EXPECT_EQ(SimMailboxParseOption(segment, "--sdo-stall", "1:0"), 1);
    EXPECT_TRUE(Sim(1)->mailbox.faults.stalls);
    EXPECT_EQ(SimMailboxParseOption(segment, "--object", "1:0x4000:0:ro-u16:7"), 1);
    SimObject* object = SimObjectFind(Sim(1), 0x4000, 0);
    ASSERT_NE(object, nullptr);
    EXPECT_FALSE(object->writable);
    EXPECT_EQ(SimGet16(object->value.data()), 7);
    EXPECT_EQ(SimMailboxParseOption(segment, "--object", "2:0x4001:0:octets:300"), 1);
    EXPECT_EQ(SimObjectFind(Sim(2), 0x4001, 0)->value.size(), 300u);
    EXPECT_EQ(SimMailboxParseOption(segment, "--object", "3:0x4002:1:string:a:b"), 1);
    EXPECT_EQ(SimObjectFind(Sim(3), 0x4002, 1)->value.size(), 3u) << "the text may hold colons";
    EXPECT_EQ(SimMailboxParseOption(segment, "--register", "2:0x20:0xFFFFFFFF"), 1);
    EXPECT_EQ(SimRegisterGet(Sim(2), 0x20), 0xFFFFFFFFu);
    EXPECT_EQ(SimMailboxParseOption(segment, "--preop-reads-sii", "3"), 1);
    EXPECT_TRUE(Sim(3)->mailbox.faults.reads_sii_on_preop);

    EXPECT_EQ(SimMailboxParseOption(segment, "--frobnicate", "1"), 0);
    const char* bad[][2] = {{"--sdo-stall", "4:1"},         {"--sdo-stall", "0:1"},
                            {"--sdo-delay", "3-1:5"},       {"--sdo-delay", "all"},
                            {"--sdo-delay", "all:-5"},      {"--sdo-emergency", "1:x"},
                            {"--object", "1:0x4000:0:f128:1"}, {"--object", "1:0x10000:0:u8:1"},
                            {"--object", "1:0x4000:0"},     {"--register", "1:0x1000000:1"},
                            {"--preop-reads-sii", "1:2"},   {"--sdo-delay", nullptr}};
    for (const auto& option : bad)
        EXPECT_EQ(SimMailboxParseOption(segment, option[0], option[1]), -1) << option[0] << " " << option[1];
}
