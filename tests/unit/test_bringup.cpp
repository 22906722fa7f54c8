// The network bring-up against simulated segments.
#include <cstring>
#include <string>

#include "link/datagram.h"
#include "sim/segment.h"
#include "slave/bringup.h"
#include "slave/eeprom.h"
#include "support_segment.h"
#include "support_virtual_clock.h"
#include "test_eeprom_wire_filter.h"

namespace {

uint32_t ImageLong(const SimEeprom& e, int word) {
    return static_cast<uint32_t>(e.words[word]) | (static_cast<uint32_t>(e.words[word + 1]) << 16);
}

bool RecordIsZero(const SlaveRecord& record) {
    static const SlaveRecord zero{};
    return memcmp(&record, &zero, sizeof(SlaveRecord)) == 0;
}

}  // namespace

class Bringup : public SegmentTest {
protected:
    void Start(int slaves, const SimFaultSettings& faults = SimFaultSettings{}) {
        StartSegment(slaves, faults);
        SimEepromAttach(segment);
        WireFilter::Install();
    }
    void TearDown() override {
        WireFilter::Remove();
        SegmentTest::TearDown();
    }
    SimSlave* Sim(int n) { return segment->slaves[static_cast<size_t>(n - 1)]; }
    SimEeprom& Eeprom(int n) { return Sim(n)->eeprom; }
    SlaveRecord& Record(int n) { return g_master.slave_table[n]; }
    // Every record behind the slaves is zero, as are the fields a bring-up leaves cleared.
    void ExpectRestOfTableZero(int count) {
        for (int n = count + 1; n < kMaxSlaveRecords; n++) ASSERT_TRUE(RecordIsZero(Record(n))) << n;
        for (int n = 1; n <= count; n++) {
            EXPECT_EQ(Record(n).mbx_counter, 0);
            EXPECT_EQ(Record(n).eeprom_at_pdi, 0);
        }
    }
};

TEST_F(Bringup, ThreeSlavesAreAddressedAndDescribed) {
    Start(3);
    SimEepromSetAlias(Sim(2), 0x0777);
    SimEepromRepowerOn(Sim(2));
    // Leftovers the defaults must clear.
    memset(Sim(1)->memory + 0x0600, 0xAB, 48);
    memset(Sim(3)->memory + 0x0800, 0xCD, 32);

    EXPECT_EQ(ConfigureNetwork(&g_master), 3);
    EXPECT_EQ(g_master.slave_count, 3);
    for (int n = 1; n <= 3; n++) {
        SlaveRecord& r = Record(n);
        SCOPED_TRACE(n);
        EXPECT_EQ(r.config_address, 0x1000 + n);
        EXPECT_EQ(SimGet16(Sim(n)->memory + 0x0010), 0x1000 + n);  // the slave at position 1 - n
        EXPECT_EQ(Sim(n)->memory[0x0100], n == 1 ? 0x01 : 0x00);
        EXPECT_EQ(r.interface_type, kSiiDefaultPdiControl);
        EXPECT_EQ(r.alias_address, n == 2 ? 0x0777 : 0);
        EXPECT_EQ(r.vendor_id, kSiiDefaultVendor);
        EXPECT_EQ(r.product_code, kSiiDefaultProductBase + static_cast<uint32_t>(n));
        EXPECT_EQ(r.revision_no, kSiiDefaultRevision);
        EXPECT_EQ(r.mbx_write_offset, 0x1000);
        EXPECT_EQ(r.mbx_length, 128);
        EXPECT_EQ(r.eeprom_8byte_reads, 0);
        // The defaults reached every slave.
        EXPECT_EQ(Sim(n)->memory[0x0200], 0x04);
        EXPECT_EQ(SimGet16(Sim(n)->memory + 0x0930), 0x1000);
        EXPECT_EQ(Sim(n)->memory[0x0934], 0x00);
        EXPECT_EQ(Sim(n)->memory[0x0935], 0x0C);
        EXPECT_EQ(Sim(n)->memory[0x0500], 0x00);
        for (int i = 0; i < 48; i++) ASSERT_EQ(Sim(n)->memory[0x0600 + i], 0);
        for (int i = 0; i < 32; i++) ASSERT_EQ(Sim(n)->memory[0x0800 + i], 0);
    }
    // Slave 1's details.
    SlaveRecord& first = Record(1);
    EXPECT_EQ(first.mbx_read_offset, 0x1080);
    EXPECT_EQ(first.mbx_read_length, 128);
    EXPECT_EQ(first.mbx_protocols, 0x0004);
    EXPECT_EQ(+first.sync_managers[0].start_address, 0x1000);
    EXPECT_EQ(+first.sync_managers[0].length, 128);
    EXPECT_EQ(+first.sync_managers[0].flags, 0x00010026u);
    EXPECT_EQ(+first.sync_managers[1].start_address, 0x1080);
    EXPECT_EQ(+first.sync_managers[1].length, 128);
    EXPECT_EQ(+first.sync_managers[1].flags, 0x00010022u);
    const uint8_t types[8] = {1, 2, 3, 4, 0, 0, 0, 0};
    EXPECT_EQ(memcmp(first.sm_types, types, 8), 0);
    EXPECT_EQ(first.has_dc, 1);
    EXPECT_EQ(first.port_type, 0x0F);
    EXPECT_EQ(first.topology, 2);
    EXPECT_EQ(first.active_ports, 0x03);
    EXPECT_EQ(first.state, kAlStateInit);
    EXPECT_EQ(first.al_status_code, 0);
    EXPECT_EQ(first.coe_details, kSiiDefaultCoeDetails);
    EXPECT_STREQ(first.name, "ecsim slave 1");
    // Slaves 2 and 3 keep identity and write mailbox only; their 0x001A read is left started.
    for (int n = 2; n <= 3; n++) {
        EXPECT_EQ(Record(n).mbx_read_offset, 0);
        EXPECT_EQ(Record(n).name[0], '\0');
        EXPECT_EQ(g_master.eeprom_reads[n].read_issued, 1);
    }
    EXPECT_EQ(EepromReadFinish(&g_master, 2), ImageLong(Eeprom(2), 0x001A));
    EXPECT_EQ(g_master.group_table[0].logical_start_address, 0u);
    EXPECT_EQ(g_master.group_table[1].logical_start_address, 0x10000u);
    EXPECT_TRUE(RecordIsZero(Record(0)));
    ExpectRestOfTableZero(3);
}

TEST_F(Bringup, NoAnswerToTheCountingReadClearsTheTableAndSendsNothingMore) {
    Start(3);
    ASSERT_EQ(ConfigureNetwork(&g_master), 3);
    segment->vanished_from = 1;  // the line is cut at the first slave: no frame comes back
    DatagramRule* loops = WireFilter::Add(CMD_BWR, 0x0101, DatagramFate::kCounted);
    DatagramRule* eeprom = WireFilter::Add(CMD_BWR, 0x0500, DatagramFate::kCounted);
    DatagramRule* addresses = WireFilter::Add(CMD_APWR, 0x0010, DatagramFate::kCounted);
    uint64_t frames = InprocFramesSent();
    EXPECT_LT(ConfigureNetwork(&g_master), 1);
    EXPECT_EQ(g_master.slave_count, 0);
    ExpectRestOfTableZero(0);
    EXPECT_TRUE(RecordIsZero(Record(0)));
    EXPECT_EQ(g_master.group_table[1].logical_start_address, 0x10000u);
    // Three writes and the count, each sent again until its timeout; no defaults after.
    EXPECT_EQ(loops->hits + eeprom->hits + addresses->hits, 0);
    uint64_t sent = InprocFramesSent() - frames;
    EXPECT_GE(sent, 4u);
    EXPECT_LE(sent, 22u);
    WireFilter::Clear();
    uint8_t frame[1518];
    InprocLastSent(frame);
    EXPECT_EQ(frame[16], CMD_BRD);
    EXPECT_EQ(frame[20] | (frame[21] << 8), 0x0000);

    // Only the counting read lost: the result is still the port's negative value.
    segment->vanished_from = 0;
    WireFilter::Add(CMD_BRD, 0x0000, DatagramFate::kLost);
    EXPECT_LT(ConfigureNetwork(&g_master), 1);
    EXPECT_EQ(DetectSlaves(&g_master), -1);
    EXPECT_EQ(g_master.slave_count, 0);
}

TEST_F(Bringup, MailboxWordsDecideWhatIsReadForSlaveOne) {
    // Baseline: how many EEPROM reads slave 1 gets with a mailbox.
    Start(1);
    ASSERT_EQ(ConfigureNetwork(&g_master), 1);
    uint32_t reads_with_mailbox = Eeprom(1).counters.reads;
    TearDown();

    Start(1);
    SimEepromSetMailboxSize(Sim(1), 0);
    ASSERT_EQ(ConfigureNetwork(&g_master), 1);
    SlaveRecord& r = Record(1);
    EXPECT_EQ(r.mbx_length, 0);
    EXPECT_EQ(Eeprom(1).counters.reads, reads_with_mailbox - 2);  // no 0x001A, no 0x001C
    EXPECT_EQ(r.mbx_protocols, 0);
    EXPECT_EQ(r.mbx_read_length, 0);
    const SyncManagerEntry zero_sm[8] = {};
    EXPECT_EQ(memcmp(r.sync_managers, zero_sm, sizeof(zero_sm)), 0);
    for (uint8_t type : r.sm_types) EXPECT_EQ(type, 0);
    TearDown();

    Start(1);
    SimEepromSetMailbox(Sim(1), 0x1000, 128, 0x1400, 0, 0x000C);
    ASSERT_EQ(ConfigureNetwork(&g_master), 1);
    EXPECT_EQ(Record(1).mbx_read_offset, 0x1400);
    EXPECT_EQ(Record(1).mbx_read_length, 128);
    EXPECT_EQ(+Record(1).sync_managers[1].length, 128);
    EXPECT_EQ(Record(1).mbx_protocols, 0x000C);
}

TEST_F(Bringup, DlStatusGivesActivePortsAndTopology) {
    uint8_t topology = 9, active = 9;
    DecodeDlStatus(0x0A00, &topology, &active);
    EXPECT_EQ(topology, 2);
    EXPECT_EQ(active, 0x03);
    DecodeDlStatus(0x0300, &topology, &active);
    EXPECT_EQ(topology, 0);
    EXPECT_EQ(active, 0x00);
    DecodeDlStatus(0xAA00, &topology, &active);
    EXPECT_EQ(topology, 4);
    EXPECT_EQ(active, 0x0F);
    DecodeDlStatus(0x2000 | 0x0C00 | 0x00FF, &topology, &active);  // port 2 only; low byte ignored
    EXPECT_EQ(topology, 1);
    EXPECT_EQ(active, 0x04);

    Start(1);  // a single slave is the end of the line: port 0 only
    ASSERT_EQ(ConfigureNetwork(&g_master), 1);
    EXPECT_EQ(Record(1).topology, 1);
    EXPECT_EQ(Record(1).active_ports, 0x01);
}

TEST_F(Bringup, GeneralCategoryFillsDetailsAndAggregates) {
    Start(2);
    SiiGeneral general{};
    general.coe_details = 0x0F;
    general.foe_details = 0x01;
    general.eoe_details = 0x02;
    general.soe_channels = 0x03;
    general.flags = 0x02;
    general.ebus_current = 500;  // bytes 0xF4, 0x01
    SimEepromSetGeneral(Sim(1), general);
    ASSERT_EQ(ConfigureNetwork(&g_master), 2);
    SlaveRecord& r = Record(1);
    EXPECT_EQ(r.coe_details, 0x0F);
    EXPECT_EQ(r.foe_details, 0x01);
    EXPECT_EQ(r.eoe_details, 0x02);
    EXPECT_EQ(r.soe_details, 0x03);
    EXPECT_EQ(r.block_lrw, 1);
    EXPECT_EQ(r.ebus_current, 500);
    EXPECT_EQ(Record(0).block_lrw, 1);
    EXPECT_EQ(Record(0).ebus_current, 500);
    EXPECT_EQ(Record(2).block_lrw, 0);  // only slave 1 is described

    general.flags = 0x00;
    general.ebus_current = -2000;  // a coupler feeding the E-bus
    SimEepromSetGeneral(Sim(1), general);
    ASSERT_EQ(ConfigureNetwork(&g_master), 2);
    EXPECT_EQ(Record(1).block_lrw, 0);
    EXPECT_EQ(Record(0).block_lrw, 0);
    EXPECT_EQ(Record(1).ebus_current, -2000);
    EXPECT_EQ(Record(0).ebus_current, -2000);

    SimEepromRemoveGeneral(Sim(1));
    ASSERT_EQ(ConfigureNetwork(&g_master), 2);
    EXPECT_EQ(Record(1).coe_details, 0);
    EXPECT_EQ(Record(1).ebus_current, 0);
    EXPECT_STREQ(Record(1).name, "ecsim slave 1");
}

TEST_F(Bringup, NameIsCutOrFallsBackToIdentity) {
    Start(1);
    SimEepromSetName(Sim(1), "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrs");
    ASSERT_EQ(ConfigureNetwork(&g_master), 1);
    EXPECT_STREQ(Record(1).name, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmn");

    SimEepromSetName(Sim(1), nullptr);
    SimEepromSetIdentity(Sim(1), 0xAB, 2, 1);
    ASSERT_EQ(ConfigureNetwork(&g_master), 1);
    EXPECT_STREQ(Record(1).name, "? M:000000ab I:00000002");
    EXPECT_EQ(strlen(Record(1).name), 23u);

    // a strings category whose text cannot be read gets the fallback, not "".
    SimEepromSetName(Sim(1), "unreadable");
    int strings = SiiFindCategory(Eeprom(1).words, kSiiCategoryStrings);
    Eeprom(1).faults.bad_words_first = static_cast<uint16_t>(strings + 3);
    Eeprom(1).faults.bad_words_count = 8;
    ASSERT_EQ(ConfigureNetwork(&g_master), 1);
    EXPECT_STREQ(Record(1).name, "? M:000000ab I:00000002");
}

TEST_F(Bringup, EightByteReadsAndNackingSlavesAreDescribedAsFarAsPossible) {
    Start(3);
    SimEepromSetEightByteReads(Sim(2), true);
    Eeprom(3).faults.nack_all = true;
    ASSERT_EQ(ConfigureNetwork(&g_master), 3);
    EXPECT_EQ(Record(1).eeprom_8byte_reads, 0);
    EXPECT_EQ(Record(2).eeprom_8byte_reads, 1);
    EXPECT_EQ(Record(2).vendor_id, kSiiDefaultVendor);  // split reads fetch 4 bytes anyway
    EXPECT_EQ(Record(2).product_code, kSiiDefaultProductBase + 2);
    EXPECT_EQ(Record(2).mbx_length, 128);
    EXPECT_EQ(Record(3).config_address, 0x1003);
    EXPECT_EQ(Record(3).vendor_id, 0u);
    EXPECT_EQ(Record(3).product_code, 0u);
    EXPECT_EQ(Record(3).mbx_length, 0);
    EXPECT_EQ(g_master.eeprom_reads[3].read_issued, 0);

    // Slave 1 NACKs only its first command (the vendor word): that word is 0, the rest read.
    Eeprom(3).faults.nack_all = false;
    Eeprom(1).faults.nack_first = 1;
    ASSERT_EQ(ConfigureNetwork(&g_master), 3);
    EXPECT_EQ(Record(1).vendor_id, 0u);
    EXPECT_EQ(Record(1).product_code, kSiiDefaultProductBase + 1);
    EXPECT_STREQ(Record(1).name, "ecsim slave 1");
    EXPECT_EQ(Record(3).vendor_id, kSiiDefaultVendor);

    // Slave 1 NACKs everything: no identity, no mailbox, no categories, the fallback name.
    Eeprom(1).faults.nack_all = true;
    ASSERT_EQ(ConfigureNetwork(&g_master), 3);
    EXPECT_EQ(Record(1).mbx_length, 0);
    EXPECT_EQ(Record(1).coe_details, 0);
    EXPECT_STREQ(Record(1).name, "? M:00000000 I:00000000");
    EXPECT_EQ(Record(2).vendor_id, kSiiDefaultVendor);
}

// Unanswered alias and EEPROM status reads give 0, never a stale value.
TEST_F(Bringup, UnansweredAliasAndEepromStatusReadsGiveZero) {
    Start(2);
    for (int n = 1; n <= 2; n++) {
        SimEepromSetAlias(Sim(n), static_cast<uint16_t>(0x1230 + n));
        SimEepromSetEightByteReads(Sim(n), true);
        SimEepromRepowerOn(Sim(n));
    }
    ASSERT_EQ(ConfigureNetwork(&g_master), 2);
    EXPECT_EQ(Record(1).alias_address, 0x1231);
    EXPECT_EQ(Record(1).eeprom_8byte_reads, 1);

    // The first alias read and the first EEPROM status read of the run are slave 1's.
    WireFilter::Add(CMD_FPRD, 0x0012, DatagramFate::kUnexecuted, 1);
    WireFilter::Add(CMD_FPRD, 0x0502, DatagramFate::kUnexecuted, 1);
    ASSERT_EQ(ConfigureNetwork(&g_master), 2);
    EXPECT_EQ(Record(1).alias_address, 0);
    EXPECT_EQ(Record(1).eeprom_8byte_reads, 0);
    EXPECT_EQ(Record(2).alias_address, 0x1232);
    EXPECT_EQ(Record(2).eeprom_8byte_reads, 1);
    // Slave 1 is still described: 4-byte fills of an 8-byte slave are correct, only slower.
    EXPECT_STREQ(Record(1).name, "ecsim slave 1");
    EXPECT_EQ(Record(1).coe_details, kSiiDefaultCoeDetails);
}

// More slaves than the table holds: the first 199 are described.
TEST_F(Bringup, MoreThan199SlavesAreCappedAtTheTable) {
    Start(201);
    for (SimSlave* slave : segment->slaves) SimEepromSetLatency(slave, 0, 0);
    EXPECT_EQ(ConfigureNetwork(&g_master), 199);
    EXPECT_EQ(g_master.slave_count, 199);
    EXPECT_EQ(Record(199).config_address, 0x1000 + 199);
    EXPECT_EQ(Record(199).product_code, kSiiDefaultProductBase + 199);
    EXPECT_EQ(SimGet16(Sim(200)->memory + 0x0010), 0);  // never addressed
    EXPECT_EQ(SimGet16(Sim(201)->memory + 0x0010), 0);
    EXPECT_EQ(Sim(201)->memory[0x0200], 0x04);  // the broadcast defaults reached it
    EXPECT_STREQ(Record(1).name, "ecsim slave 1");
    EXPECT_EQ(DetectSlaves(&g_master), 201);  // the count itself is reported as it is
    EXPECT_EQ(g_master.slave_count, 199);
}

TEST_F(Bringup, StateCheckPollsUntilTheStateOrTheDeadline) {
    Start(2);
    ASSERT_EQ(ConfigureNetwork(&g_master), 2);
    uint64_t frames = InprocFramesSent();
    TimeStamp start = ClockNow();
    EXPECT_EQ(StateCheck(&g_master, 2, kAlStateInit, 2000000), kAlStateInit);
    EXPECT_EQ(InprocFramesSent(), frames + 1);
    EXPECT_EQ(Record(2).state, kAlStateInit);

    // A slave that stays in PRE-OP with an error flag and a code.
    Sim(2)->mailbox.al_state = kAlStatePreOp;
    SimPut16(Sim(2)->memory + 0x0130, 0x0012);
    SimPut16(Sim(2)->memory + 0x0134, 0x001D);
    frames = InprocFramesSent();
    start = ClockNow();
    EXPECT_EQ(StateCheck(&g_master, 2, kAlStateInit, 30000), kAlStatePreOp);
    TimeStamp end = ClockNow();
    int64_t elapsed = (end.seconds - start.seconds) * 1000000LL + end.microseconds - start.microseconds;
    EXPECT_GE(elapsed, 30000);
    EXPECT_LT(elapsed, 300000);
    uint64_t reads = InprocFramesSent() - frames;
    EXPECT_GE(reads, 5u);   // about one read per millisecond
    EXPECT_LE(reads, 31u);
    EXPECT_EQ(Record(2).state, 0x0012);
    EXPECT_EQ(Record(2).al_status_code, 0x001D);

    // Outside the slaves: nothing sent.
    frames = InprocFramesSent();
    EXPECT_EQ(StateCheck(&g_master, 3, kAlStateInit, 1000), 0);
    EXPECT_EQ(StateCheck(&g_master, 0, kAlStateInit, 1000), 0);
    EXPECT_EQ(InprocFramesSent(), frames);
    EXPECT_TRUE(RecordIsZero(Record(3)));

    // A negative timeout is one read, not 71 minutes.
    EXPECT_EQ(StateCheck(&g_master, 2, kAlStateOp, -1), kAlStatePreOp);
    EXPECT_EQ(InprocFramesSent(), frames + 1);

    // No answer: state and code read as 0.
    segment->vanished_from = 2;
    EXPECT_EQ(StateCheck(&g_master, 2, kAlStateInit, 0), 0);
    EXPECT_EQ(Record(2).state, 0);
    EXPECT_EQ(Record(2).al_status_code, 0);
}

TEST_F(Bringup, SlaveBySlaveOrderGivesTheSameTable) {
    Start(4);
    SimEepromSetEightByteReads(Sim(3), true);
    SimEepromSetMailboxSize(Sim(4), 0);
    ASSERT_EQ(ConfigureNetwork(&g_master), 4);
    SlaveTable pipelined = g_master.slave_table;
    ASSERT_EQ(ConfigureNetworkWith(&g_master, EepromReadOrder::kSlaveBySlave), 4);
    EXPECT_EQ(memcmp(&pipelined, &g_master.slave_table, sizeof(SlaveTable)), 0);
}

TEST_F(Bringup, LossyWireStillGivesTheWholeTable) {
    VirtualClock clock;  // the same polls and resends however loaded the machine is
    SimFaultSettings faults{};
    faults.drop = 0.10;
    faults.seed = 7;
    Start(3, faults);
    SimEepromSetName(Sim(1), "lossy");
    ASSERT_EQ(ConfigureNetwork(&g_master), 3);
    for (int n = 1; n <= 3; n++) {
        EXPECT_EQ(Record(n).config_address, 0x1000 + n);
        EXPECT_EQ(Record(n).product_code, kSiiDefaultProductBase + static_cast<uint32_t>(n)) << n;
        EXPECT_EQ(Record(n).mbx_length, 128) << n;
    }
    EXPECT_STREQ(Record(1).name, "lossy");
    EXPECT_EQ(Record(1).mbx_protocols, 0x0004);
    EXPECT_GT(wire.dropped, 0u);
}

TEST_F(Bringup, ControllerDefaultsGoOutInOneFrameInTheirOrderAndAgainWhenLost) {
    Start(5);
    ASSERT_EQ(DetectSlaves(&g_master), 5);
    for (int n = 1; n <= 5; n++) {
        memset(Sim(n)->memory + 0x0600, 0xAB, 48);
        Sim(n)->eeprom.pdi_access = 1;  // the PDI holds the EEPROM: forced back, then released
    }
    uint64_t frames = InprocFramesSent();
    SetSlavesToDefault(&g_master);
    EXPECT_EQ(InprocFramesSent() - frames, 1u);  // twelve writes, one round trip
    uint8_t frame[1518];
    InprocLastSent(frame);
    EXPECT_EQ(frame[16], CMD_BWR);
    EXPECT_EQ(frame[20] | (frame[21] << 8), 0x0101);  // the first write leads the frame
    for (int n = 1; n <= 5; n++) {
        SCOPED_TRACE(n);
        EXPECT_EQ(Sim(n)->memory[0x0600], 0);
        EXPECT_EQ(Sim(n)->memory[0x0935], 0x0C);
        EXPECT_EQ(Sim(n)->memory[0x0120], 0x11);
        EXPECT_EQ(Sim(n)->memory[0x0500], 0x00);  // forced to the master, then the force released
        EXPECT_EQ(Sim(n)->eeprom.pdi_access, 0);
    }
    // A lost frame is sent again: the defaults still reach every slave.
    for (int n = 1; n <= 5; n++) memset(Sim(n)->memory + 0x0600, 0xAB, 48);
    DatagramRule* lost = WireFilter::Add(CMD_BWR, 0x0101, DatagramFate::kLost, 1);
    frames = InprocFramesSent();
    SetSlavesToDefault(&g_master);
    EXPECT_EQ(lost->hits, 1);  // the first send never reached the segment
    EXPECT_EQ(InprocFramesSent() - frames, 1u);
    for (int n = 1; n <= 5; n++) EXPECT_EQ(Sim(n)->memory[0x0600], 0) << n;
}
