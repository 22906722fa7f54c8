// A host program's Init makes every slave with a mailbox ready for SDO traffic.
#include "api/connection.h"
#include "api/ecdevice.h"
#include "test_mailbox_fixture.h"

namespace {
int g_handler_calls = 0;
void CountingHandler() { g_handler_calls++; }
}  // namespace

class MailboxSetup : public MailboxTest {
protected:
    // A segment of `count` default slaves, adjusted by `adjust`, brought up by Init.
    template <typename Adjust>
    int InitSegment(int count, Adjust adjust) {
        ResetMaster();
        segment = SimSegmentCreate(count);
        SimEepromAttach(segment);
        adjust();
        SimWireInit(&wire, segment, SimFaultSettings{});
        adapter = InprocAdapter{};
        adapter.name = "sim0";
        adapter.description = "virtual segment";
        adapter.wire = &wire;
        InprocInstall(&adapter, 1);
        return Init();
    }
    int InitSegment(int count) {
        return InitSegment(count, [] {});
    }
    uint16_t AlStatus(int n) {
        uint8_t status[2] = {0, 0};
        EXPECT_EQ(FPRead(n, 0x0130, 2, status, 2000), 1);
        return SimGet16(status);
    }
    void TearDown() override {
        SetSegmentHandler(nullptr);
        MailboxTest::TearDown();
    }
};

TEST_F(MailboxSetup, EverySlaveWithAMailboxReachesPreOp) {
    ASSERT_EQ(InitSegment(3, [this] { SimEepromSetMailboxSize(Sim(3), 1486); }), 3);
    for (int n = 1; n <= 3; n++) {
        const SlaveRecord& record = Record(n);
        uint16_t size = n == 3 ? 1486 : 128;
        EXPECT_EQ(record.mbx_length, size) << n;
        EXPECT_EQ(record.mbx_read_offset, 0x1000 + size) << n;
        EXPECT_EQ(record.mbx_read_length, size) << n;
        EXPECT_EQ(record.mbx_protocols, Sim(n)->eeprom.words[0x1C]) << n;
        EXPECT_EQ(record.sm_types[0], 1);
        EXPECT_EQ(record.sm_types[1], 2);
        EXPECT_EQ(record.sm_types[3], 4);
        // Copies: the entries are packed, their fields unaligned.
        const uint32_t write_flags = record.sync_managers[0].flags, read_flags = record.sync_managers[1].flags;
        const uint16_t read_start = record.sync_managers[1].start_address;
        EXPECT_EQ(write_flags, 0x00010026u) << n;
        EXPECT_EQ(read_start, 0x1000 + size) << n;
        EXPECT_EQ(read_flags, 0x00010022u) << n;
        EXPECT_EQ(AlStatus(n), 2) << "slave " << n << " in PRE-OP without error";
        EXPECT_EQ(Sim(n)->memory[0x0500] & 0x01, 1) << "EEPROM offered back to slave " << n;
        uint8_t vendor[4] = {0};
        int size_read = sizeof(vendor);
        EXPECT_EQ(SdoRead(n, 0x1018, 1, 0, &size_read, vendor, 100000), 1) << n;
        EXPECT_EQ(SimGet32(vendor), Sim(n)->eeprom.words[8] | (static_cast<uint32_t>(Sim(n)->eeprom.words[9]) << 16));
    }
    WriteRegister(3, 0x10, 77);
    EXPECT_EQ(ReadRegister(3, 0x10), 77);
    EXPECT_EQ(ReadRegister(2, 0x10), 0x02000010);
}

TEST_F(MailboxSetup, SlaveThatReadsItsSiiGetsTheEeprom) {
    ASSERT_EQ(InitSegment(2, [this] { Sim(2)->mailbox.faults.reads_sii_on_preop = true; }), 2);
    EXPECT_EQ(AlStatus(2), 2);
    EXPECT_EQ(AlStatusCode(2), 0);
}

TEST_F(MailboxSetup, SlavesWithoutMailboxAreLeftAlone) {
    ASSERT_EQ(InitSegment(3, [this] { SimEepromSetMailboxSize(Sim(2), 0); }), 3);
    EXPECT_EQ(AlStatus(2), 1) << "no mailbox: stays in INIT";
    EXPECT_EQ(Sim(2)->memory[0x0806], 0) << "no SyncManager enabled";
    EXPECT_EQ(AlStatus(3), 2);
    uint8_t data[4];
    int size = sizeof(data);
    uint64_t before = InprocFramesSent();
    EXPECT_EQ(SdoRead(2, 0x1000, 0, 0, &size, data, 1000), 0);
    EXPECT_EQ(InprocFramesSent(), before);
}

TEST_F(MailboxSetup, ConsoleFlowPreparesNothing) {
    g_handler_calls = 0;
    SetSegmentHandler(CountingHandler);
    ASSERT_EQ(InitSegment(2), 2);
    EXPECT_EQ(g_handler_calls, 1);
    for (int n = 1; n <= 2; n++) {
        EXPECT_EQ(Sim(n)->mailbox.al_state, 1) << "slave " << n << " stays in INIT";
        EXPECT_FALSE(Sim(n)->mailbox.sm_enabled[0]);
    }
    EXPECT_EQ(Record(2).mbx_read_length, 0) << "the bring-up's own record, untouched";
}

// The read mailbox words of slave 2 cannot be read (its EEPROM NACKs them): the master
// does not know where the slave's read mailbox is, so it sets up no mailbox there. Set
// up from words taken as 0, SyncManager 1 would lie over the ESC's own registers from
// 0x0000 on and the slave would refuse every read of them (the counting read of the next
// bring-up among them).
TEST_F(MailboxSetup, ASlaveWhoseMailboxWordsCannotBeReadGetsNoMailboxOverItsRegisters) {
    ASSERT_EQ(InitSegment(3,
                          [this] {
                              Sim(2)->eeprom.faults.bad_words_first = 0x1A;
                              Sim(2)->eeprom.faults.bad_words_count = 3;
                          }),
              3);
    EXPECT_EQ(AlStatus(2), 1) << "no mailbox set up: stays in INIT";
    EXPECT_EQ(Sim(2)->memory[0x0806], 0) << "SyncManager 0 not enabled";
    EXPECT_EQ(Sim(2)->memory[0x080E], 0) << "SyncManager 1 not enabled";
    EXPECT_EQ(Record(2).sm_types[1], 0);
    for (int n : {1, 3}) EXPECT_EQ(AlStatus(n), 2) << "slave " << n << " in PRE-OP";
    uint8_t data[4];
    int size = sizeof(data);
    EXPECT_EQ(SdoRead(2, 0x1000, 0, 0, &size, data, 1000), 0);
    // Every slave still answers a read of its registers: a second bring-up counts three.
    Deinit();
    EXPECT_EQ(Init(), 3);
}
