// The master's SII EEPROM access against simulated EEPROM interfaces.
#include <cstring>
#include <string>

#include "link/datagram.h"
#include "sim/segment.h"
#include "slave/eeprom.h"
#include "support_segment.h"
#include "test_eeprom_wire_filter.h"

namespace {

uint64_t ElapsedUs(TimeStamp start) {
    TimeStamp now = ClockNow();
    return static_cast<uint64_t>(now.seconds - start.seconds) * 1000000u + static_cast<uint64_t>(now.microseconds) -
           static_cast<uint64_t>(start.microseconds);
}

uint32_t ImageLong(const SimEeprom& e, int word) {
    return static_cast<uint32_t>(e.words[word]) | (static_cast<uint32_t>(e.words[word + 1]) << 16);
}

bool Filled(int byte_address) {
    return (g_master.sii_cache.fill_map[byte_address / 32] >> (byte_address % 32)) & 1u;
}

}  // namespace

class EepromAccess : public SegmentTest {
protected:
    // A segment whose slaves answer to 0x1000 + n, as after the bring-up's phase 1.
    void Start(int slaves) {
        StartSegment(slaves);
        g_master.slave_count = slaves;
        for (int n = 1; n <= slaves; n++) {
            uint16_t address = static_cast<uint16_t>(0x1000 + n);
            ASSERT_EQ(APWR(&g_master.port, static_cast<uint16_t>(1 - n), 0x0010, 2, &address, 6000), 1);
            g_master.slave_table[n].config_address = address;
        }
        WireFilter::Install();
    }
    void TearDown() override {
        WireFilter::Remove();
        SegmentTest::TearDown();
    }
    SimSlave* Sim(int n) { return segment->slaves[static_cast<size_t>(n - 1)]; }
    SimEeprom& Eeprom(int n) { return Sim(n)->eeprom; }
    // Commands a read on the simulated interface directly, as another master would.
    void RawReadCommand(uint16_t config_address, uint16_t word) {
        const uint8_t record[6] = {0x00, 0x01, static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8), 0, 0};
        ASSERT_EQ(FPWR(&g_master.port, config_address, 0x0502, 6, record, 2000), 1);
    }
};

TEST_F(EepromAccess, ReadWordDeliversFourOrEightBytesAsTheInterfaceReports) {
    Start(2);
    SimEepromSetEightByteReads(Sim(2), true);
    uint64_t four = EepromReadWord(&g_master, 0x1001, 0x0008);
    EXPECT_EQ(four, ImageLong(Eeprom(1), 0x0008));  // vendor id, upper half zero
    uint8_t frame[1518];
    int length = InprocLastSent(frame);
    ASSERT_EQ(length, 28 + 4);  // the data read was the last datagram: 4 bytes at 0x0508
    EXPECT_EQ(frame[16], CMD_FPRD);
    EXPECT_EQ(frame[20] | (frame[21] << 8), 0x0508);

    uint64_t eight = EepromReadWord(&g_master, 0x1002, 0x0008);
    EXPECT_EQ(eight, ImageLong(Eeprom(2), 0x0008) | (static_cast<uint64_t>(ImageLong(Eeprom(2), 0x000A)) << 32));
    EXPECT_EQ(InprocLastSent(frame), 28 + 8);
    EXPECT_EQ(Eeprom(2).counters.reads, 1u);
}

TEST_F(EepromAccess, NackOnEveryCommandEndsAfterThreeCommands) {
    Start(1);
    Eeprom(1).faults.nack_all = true;
    uint16_t before = Eeprom(1).words[4];
    EXPECT_EQ(EepromReadWord(&g_master, 0x1001, 0x0008), 0u);
    EXPECT_EQ(Eeprom(1).counters.reads, 3u);

    EXPECT_EQ(EepromWriteWord(&g_master, 0x1001, 4, 0x1234), 0);
    EXPECT_EQ(Eeprom(1).counters.writes, 3u);
    EXPECT_EQ(Eeprom(1).counters.data_writes, 3u);
    EXPECT_EQ(Eeprom(1).counters.words_written, 0u);
    EXPECT_EQ(Eeprom(1).words[4], before);
}

TEST_F(EepromAccess, NackedCommandsAreRepeatedAndTheThirdMaySucceed) {
    Start(1);
    Eeprom(1).faults.nack_first = 2;
    EXPECT_EQ(EepromReadWord(&g_master, 0x1001, 0x0008), ImageLong(Eeprom(1), 0x0008));
    EXPECT_EQ(Eeprom(1).counters.reads, 3u);

    Eeprom(1).faults.nack_first = 2;
    EXPECT_EQ(EepromWriteWord(&g_master, 0x1001, 4, 0xBEEF), 1);
    EXPECT_EQ(Eeprom(1).words[4], 0xBEEF);
    EXPECT_EQ(Eeprom(1).counters.writes, 3u);
    EXPECT_EQ(Eeprom(1).counters.data_writes, 3u);  // the data register is written again each pass

    Eeprom(1).faults.nack_first = 3;
    EXPECT_EQ(EepromReadWord(&g_master, 0x1001, 0x0008), 0u);
    EXPECT_EQ(Eeprom(1).counters.reads, 6u);
}

TEST_F(EepromAccess, ErrorBitsLeftByAnEarlierCommandAreClearedBeforeTheNext) {
    Start(1);
    const uint8_t write_without_enable[2] = {0x00, 0x02};
    ASSERT_EQ(FPWR(&g_master.port, 0x1001, 0x0502, 2, write_without_enable, 2000), 1);
    uint16_t status = 0;
    ASSERT_EQ(EepromWaitNotBusy(&g_master, 0x1001, &status), 1);
    ASSERT_EQ(status & 0x4000, 0x4000);

    DatagramRule* clears = WireFilter::Add(CMD_FPWR, 0x0502, DatagramFate::kCounted, -1, 0, 2);
    EXPECT_EQ(EepromReadWord(&g_master, 0x1001, 0x000A), ImageLong(Eeprom(1), 0x000A));
    EXPECT_EQ(clears->hits, 1);
    // No error pending: no clearing write.
    EXPECT_EQ(EepromWriteWord(&g_master, 0x1001, 5, 0x0042), 1);
    EXPECT_EQ(clears->hits, 1);
    EXPECT_EQ(Eeprom(1).words[5], 0x0042);
}

// A status read nobody answers proves nothing about the interface.
TEST_F(EepromAccess, BusyWaitNeedsAnAnsweredIdleStatus) {
    Start(1);
    uint16_t status = 0xABCD;
    TimeStamp start = ClockNow();
    EXPECT_EQ(EepromWaitNotBusy(&g_master, 0x1077, &status), 0);  // nobody has that address: working counter 0
    EXPECT_EQ(status, 0);
    EXPECT_GE(ElapsedUs(start), 20000u);
    EXPECT_LT(ElapsedUs(start), 200000u);

    WireFilter::Add(CMD_FPRD, 0x0502, DatagramFate::kLost);
    EXPECT_EQ(EepromWaitNotBusy(&g_master, 0x1001, &status), 0);
    EXPECT_EQ(status, 0);
    uint16_t before = Eeprom(1).words[4];
    EXPECT_EQ(EepromReadWord(&g_master, 0x1001, 0x0008), 0u);
    EXPECT_EQ(EepromWriteWord(&g_master, 0x1001, 4, 0x5555), 0);
    EXPECT_EQ(Eeprom(1).counters.commands, 0u);  // neither operation sent a command
    EXPECT_EQ(Eeprom(1).words[4], before);
    WireFilter::Clear();

    // An interface that stays busy: the last status read shows it.
    Eeprom(1).faults.busy_stuck = true;
    RawReadCommand(0x1001, 0x0008);
    EXPECT_EQ(EepromWaitNotBusy(&g_master, 0x1001, &status), 0);
    EXPECT_EQ(status & 0x8000, 0x8000);
}

// The write command stores whatever sits in the data register.
TEST_F(EepromAccess, WriteCommandFollowsOnlyAnAcknowledgedDataWrite) {
    Start(1);
    ASSERT_NE(EepromReadWord(&g_master, 0x1001, 0x0008), 0u);  // the data register now holds the vendor id
    uint16_t before = Eeprom(1).words[4];
    DatagramRule* data = WireFilter::Add(CMD_FPWR, 0x0508, DatagramFate::kLost);
    EXPECT_EQ(EepromWriteWord(&g_master, 0x1001, 4, 0x7777), 0);
    EXPECT_EQ(data->hits, 4);
    EXPECT_EQ(Eeprom(1).counters.writes, 0u);
    EXPECT_EQ(Eeprom(1).words[4], before);
    WireFilter::Clear();

    data = WireFilter::Add(CMD_FPWR, 0x0508, DatagramFate::kUnexecuted);
    EXPECT_EQ(EepromWriteWord(&g_master, 0x1001, 4, 0x7777), 0);
    EXPECT_EQ(Eeprom(1).counters.writes, 0u);
    WireFilter::Clear();

    // Three lost attempts leave a fourth: the word is written.
    data = WireFilter::Add(CMD_FPWR, 0x0508, DatagramFate::kLost, 3);
    EXPECT_EQ(EepromWriteWord(&g_master, 0x1001, 4, 0x7777), 1);
    EXPECT_EQ(Eeprom(1).words[4], 0x7777);
    EXPECT_EQ(Eeprom(1).counters.writes, 1u);
}

// A command whose every attempt went unanswered may never have reached the slave: the
// master must neither report the write nor hand out the data register as the word.
TEST_F(EepromAccess, UnconfirmedCommandsAreNeitherWritesNorReads) {
    Start(1);
    ASSERT_EQ(EepromReadWord(&g_master, 0x1001, 0x0008), Eeprom(1).words[8] | (uint64_t{Eeprom(1).words[9]} << 16));
    uint16_t before = Eeprom(1).words[4];
    DatagramRule* command = WireFilter::Add(CMD_FPWR, 0x0502, DatagramFate::kLost, 4, 0, 6);
    EXPECT_EQ(EepromWriteWord(&g_master, 0x1001, 4, 0x5A5A), 0);
    EXPECT_EQ(command->hits, 4);
    EXPECT_EQ(Eeprom(1).words[4], before);
    WireFilter::Clear();

    // The data register still holds words 8-9: a lost read command of word 4 must not
    // turn them into word 4's contents.
    command = WireFilter::Add(CMD_FPWR, 0x0502, DatagramFate::kLost, 4, 0, 6);
    EXPECT_EQ(EepromReadWord(&g_master, 0x1001, 4), 0u);
    EXPECT_EQ(command->hits, 4);
    WireFilter::Clear();
    EXPECT_EQ(EepromReadWord(&g_master, 0x1001, 4) & 0xFFFF, before);
    EXPECT_EQ(EepromWriteWord(&g_master, 0x1001, 4, 0x5A5A), 1);
    EXPECT_EQ(Eeprom(1).words[4], 0x5A5A);
}

// Success needs an answered status after the write.
TEST_F(EepromAccess, WriteIsReportedOnlyAfterAnAnsweredStatusWithoutNack) {
    Start(2);
    Eeprom(2).faults.vanish_after_writes = 1;
    SimEepromAttach(segment);
    EXPECT_EQ(EepromWriteWord(&g_master, 0x1002, 4, 0x0102), 0);  // the slave drops off right after the command
    EXPECT_EQ(segment->vanished_from, 2);
    EXPECT_EQ(Eeprom(2).counters.writes, 1u);
    EXPECT_EQ(EepromWriteWord(&g_master, 0x1001, 4, 0x0103), 1);  // slave 1 is still there
}

// After a NACK, passes that fail for other reasons count against a pass limit.
TEST_F(EepromAccess, PassesAfterANackAreBoundedByThePassLimit) {
    Start(1);
    SimEepromSetLatency(Sim(1), 0, 0);
    // First pass NACKed; every later status read unanswered.
    Eeprom(1).faults.nack_first = 1;
    WireFilter::Add(CMD_FPRD, 0x0502, DatagramFate::kLost, -1, 2);
    TimeStamp start = ClockNow();
    EXPECT_EQ(EepromReadWord(&g_master, 0x1001, 0x0008), 0u);
    EXPECT_EQ(Eeprom(1).counters.reads, static_cast<uint32_t>(kEepromMaxPasses));
    EXPECT_LT(ElapsedUs(start), 10u * kEepromMaxPasses * 40000u);  // very loose: it ends
    WireFilter::Clear();

    Eeprom(1).faults.nack_first = 1;
    WireFilter::Add(CMD_FPRD, 0x0502, DatagramFate::kLost, -1, 2);
    EXPECT_EQ(EepromWriteWord(&g_master, 0x1001, 4, 0x0BAD), 0);
    EXPECT_EQ(Eeprom(1).counters.writes, static_cast<uint32_t>(kEepromMaxPasses));
    WireFilter::Clear();

    // First pass NACKed, every later command unexecuted (working counter 0).
    Eeprom(1).faults.nack_first = 1;
    DatagramRule* commands = WireFilter::Add(CMD_FPWR, 0x0502, DatagramFate::kUnexecuted, -1, 1, 6);
    uint32_t reads_before = Eeprom(1).counters.reads;
    EXPECT_EQ(EepromReadWord(&g_master, 0x1001, 0x0008), 0u);
    EXPECT_EQ(Eeprom(1).counters.reads, reads_before + 1);
    EXPECT_EQ(commands->hits, (kEepromMaxPasses - 1) * 4);  // each later pass: 4 attempts
}

TEST_F(EepromAccess, HandOverWritesOnlyWhenOwnershipChanges) {
    Start(1);
    SlaveRecord& record = g_master.slave_table[1];
    uint64_t frames = InprocFramesSent();
    EXPECT_EQ(EepromToMaster(&g_master, 1), 1);
    EXPECT_EQ(InprocFramesSent(), frames);

    EXPECT_EQ(EepromToPdi(&g_master, 1), 1);
    EXPECT_EQ(record.eeprom_at_pdi, 1);
    EXPECT_EQ(Sim(1)->memory[0x0500], 0x01);
    frames = InprocFramesSent();
    EXPECT_EQ(EepromToPdi(&g_master, 1), 1);
    EXPECT_EQ(InprocFramesSent(), frames);

    // The PDI took the EEPROM: the master's commands are ignored until it forces access back.
    SimEepromPdiTakesAccess(Sim(1));
    RawReadCommand(0x1001, 0x0008);
    EXPECT_EQ(Eeprom(1).counters.commands, 0u);
    EXPECT_EQ(EepromToMaster(&g_master, 1), 1);
    EXPECT_EQ(record.eeprom_at_pdi, 0);
    EXPECT_EQ(Sim(1)->memory[0x0500], 0x00);
    EXPECT_EQ(Sim(1)->memory[0x0501], 0x00);
    EXPECT_EQ(EepromReadWord(&g_master, 0x1001, 0x0008), ImageLong(Eeprom(1), 0x0008));

    // The flag follows the request whatever the slave answered.
    WireFilter::Add(CMD_FPWR, 0x0500, DatagramFate::kLost);
    EXPECT_LT(EepromToPdi(&g_master, 1), 0);
    EXPECT_EQ(record.eeprom_at_pdi, 1);
    EXPECT_LT(EepromToMaster(&g_master, 1), 0);
    EXPECT_EQ(record.eeprom_at_pdi, 0);
}

TEST_F(EepromAccess, SplitReadFetchesTheStartedWordPairOnEverySlave) {
    Start(3);
    SimEepromSetEightByteReads(Sim(3), true);
    for (int n = 1; n <= 3; n++) EepromReadStart(&g_master, static_cast<uint16_t>(n), 0x0008);
    for (int n = 1; n <= 3; n++) {
        EXPECT_EQ(EepromReadFinish(&g_master, static_cast<uint16_t>(n)), ImageLong(Eeprom(n), 0x0008)) << n;
        EXPECT_FALSE(EepromLastFinishFailed(&g_master, static_cast<uint16_t>(n)));
        EepromReadStart(&g_master, static_cast<uint16_t>(n), 0x000A);
    }
    for (int n = 1; n <= 3; n++)
        EXPECT_EQ(EepromReadFinish(&g_master, static_cast<uint16_t>(n)), ImageLong(Eeprom(n), 0x000A));

    // A slave with a bad header checksum reports it in every status; its reads are fine.
    SimEepromSetWord(Sim(2), 7, static_cast<uint16_t>(Eeprom(2).words[7] ^ 0x01));
    SimEepromRepowerOn(Sim(2));
    uint16_t address = 0x1002;
    ASSERT_EQ(APWR(&g_master.port, 0xFFFF, 0x0010, 2, &address, 6000), 1);
    EepromReadStart(&g_master, 2, 0x0000);
    EXPECT_EQ(EepromReadFinish(&g_master, 2), ImageLong(Eeprom(2), 0x0000));
    EXPECT_FALSE(EepromLastFinishFailed(&g_master, 2));
}

// A finish only trusts data from a read that was really commanded and done.
TEST_F(EepromAccess, SplitReadFailsWithoutAnIssuedCommandAndOnErrors) {
    Start(1);
    // A finish without a start, and a second finish of one start.
    EXPECT_EQ(EepromReadFinish(&g_master, 1), 0u);
    EXPECT_TRUE(EepromLastFinishFailed(&g_master, 1));
    EepromReadStart(&g_master, 1, 0x0008);
    EXPECT_NE(EepromReadFinish(&g_master, 1), 0u);
    EXPECT_EQ(EepromReadFinish(&g_master, 1), 0u);
    EXPECT_TRUE(EepromLastFinishFailed(&g_master, 1));

    // The command never arrives: the data register still holds the vendor id, unused.
    DatagramRule* commands = WireFilter::Add(CMD_FPWR, 0x0502, DatagramFate::kLost);
    EepromReadStart(&g_master, 1, 0x000A);
    EXPECT_EQ(commands->hits, 4);
    EXPECT_EQ(g_master.eeprom_reads[1].read_issued, 0);
    uint64_t frames = InprocFramesSent();
    EXPECT_EQ(EepromReadFinish(&g_master, 1), 0u);
    EXPECT_TRUE(EepromLastFinishFailed(&g_master, 1));
    EXPECT_EQ(InprocFramesSent(), frames);  // nothing to fetch
    WireFilter::Clear();

    // NACK after the command.
    Eeprom(1).faults.nack_first = 1;
    EepromReadStart(&g_master, 1, 0x000A);
    EXPECT_EQ(EepromReadFinish(&g_master, 1), 0u);
    EXPECT_TRUE(EepromLastFinishFailed(&g_master, 1));

    // The data read gets no answer.
    WireFilter::Add(CMD_FPRD, 0x0508, DatagramFate::kLost);
    EepromReadStart(&g_master, 1, 0x000A);
    EXPECT_EQ(EepromReadFinish(&g_master, 1), 0u);
    EXPECT_TRUE(EepromLastFinishFailed(&g_master, 1));
    WireFilter::Clear();

    // The interface stays busy.
    Eeprom(1).faults.busy_stuck = true;
    EepromReadStart(&g_master, 1, 0x000A);
    EXPECT_EQ(EepromReadFinish(&g_master, 1), 0u);
    EXPECT_TRUE(EepromLastFinishFailed(&g_master, 1));
    // ... and a start on a busy interface sends no command.
    EepromReadStart(&g_master, 1, 0x000C);
    EXPECT_EQ(g_master.eeprom_reads[1].read_issued, 0);

    EXPECT_TRUE(EepromLastFinishFailed(&g_master, 0xFFFF));  // outside the table
    EXPECT_EQ(EepromReadFinish(&g_master, 0xFFFF), 0u);
}

TEST_F(EepromAccess, CacheFillsFourOrEightBytesPerRead) {
    Start(2);
    EXPECT_EQ(SiiGetByte(&g_master, 1, 0x80), Eeprom(1).words[0x40] & 0xFF);
    EXPECT_EQ(SiiGetByte(&g_master, 1, 0x81), Eeprom(1).words[0x40] >> 8);
    EXPECT_EQ(Eeprom(1).counters.reads, 1u);
    for (int b = 0x80; b <= 0x83; b++) EXPECT_TRUE(Filled(b)) << b;
    EXPECT_FALSE(Filled(0x84));
    EXPECT_FALSE(Filled(0x7F));

    // An odd address fills from the even address below it.
    EXPECT_EQ(SiiGetByte(&g_master, 1, 0x85), Eeprom(1).words[0x42] >> 8);
    EXPECT_EQ(Eeprom(1).counters.reads, 2u);
    for (int b = 0x84; b <= 0x87; b++) EXPECT_TRUE(Filled(b)) << b;

    SimEepromSetEightByteReads(Sim(2), true);
    g_master.slave_table[2].eeprom_8byte_reads = 1;
    EXPECT_EQ(SiiGetByte(&g_master, 2, 0x80), Eeprom(2).words[0x40] & 0xFF);
    EXPECT_EQ(Eeprom(2).counters.reads, 1u);
    for (int b = 0x80; b <= 0x87; b++) EXPECT_TRUE(Filled(b)) << b;
    EXPECT_FALSE(Filled(0x88));
    EXPECT_EQ(SiiGetByte(&g_master, 2, 0x87), Eeprom(2).words[0x43] >> 8);
    EXPECT_EQ(Eeprom(2).counters.reads, 1u);

    // Recorded as 8-byte, but the interface delivers 4: only those 4 are cached.
    SimEepromSetEightByteReads(Sim(2), false);
    EXPECT_EQ(SiiGetByte(&g_master, 2, 0x90), Eeprom(2).words[0x48] & 0xFF);
    EXPECT_TRUE(Filled(0x93));
    EXPECT_FALSE(Filled(0x94));
    EXPECT_EQ(SiiGetByte(&g_master, 2, 0x94), Eeprom(2).words[0x4A] & 0xFF);
    EXPECT_EQ(Eeprom(2).counters.reads, 3u);
}

TEST_F(EepromAccess, CacheFollowsOneSlaveAtATime) {
    Start(2);
    SiiGetByte(&g_master, 1, 0x10);
    SiiGetByte(&g_master, 2, 0x10);
    EXPECT_EQ(SiiGetByte(&g_master, 1, 0x10), Eeprom(1).words[0x08] & 0xFF);
    EXPECT_EQ(Eeprom(1).counters.reads, 2u);  // read again after the switch

    uint64_t frames = InprocFramesSent();
    EXPECT_EQ(SiiGetByte(&g_master, 2, 4096), 0xFF);
    EXPECT_EQ(SiiGetByte(&g_master, 2, 0xFFFF), 0xFF);
    EXPECT_EQ(InprocFramesSent(), frames);
    EXPECT_EQ(g_master.sii_cache.cached_slave, 2);
    for (uint32_t word : g_master.sii_cache.fill_map) EXPECT_EQ(word, 0u);
}

// Fills of the last words stay inside the byte array and the fill map.
TEST_F(EepromAccess, CacheFillAtTheEndStaysInsideTheCache) {
    Start(1);
    for (int w = 2044; w < 2048; w++) Eeprom(1).words[w] = static_cast<uint16_t>(0xA000 + w);
    SimEepromSetEightByteReads(Sim(1), true);
    g_master.slave_table[1].eeprom_8byte_reads = 1;
    SiiGetByte(&g_master, 1, 0);  // switch the cache to slave 1
    uint32_t map_start = g_master.sii_cache.fill_map[0];
    EXPECT_EQ(SiiGetByte(&g_master, 1, 4091), static_cast<uint8_t>((0xA000 + 2045) >> 8));
    EXPECT_EQ(SiiGetByte(&g_master, 1, 4095), static_cast<uint8_t>((0xA000 + 2047) >> 8));
    EXPECT_EQ(Eeprom(1).counters.reads, 2u);  // the read at 4090 filled 4090-4095 only
    EXPECT_EQ(g_master.sii_cache.fill_map[127], 0xFC000000u);
    EXPECT_EQ(g_master.sii_cache.fill_map[0], map_start);
    EXPECT_EQ(g_master.sii_cache.cached_slave, 1);

    // Four-byte reads at 4094: two bytes kept.
    SiiGetByte(&g_master, 0, 4096);
    g_master.slave_table[1].eeprom_8byte_reads = 0;
    SimEepromSetEightByteReads(Sim(1), false);
    EXPECT_EQ(SiiGetByte(&g_master, 1, 4094), static_cast<uint8_t>(0xA000 + 2047));
    EXPECT_EQ(g_master.sii_cache.fill_map[127], 0xC0000000u);
    EXPECT_EQ(g_master.sii_cache.fill_map[0], 0u);
}

// A failed read is neither cached nor taken for data.
TEST_F(EepromAccess, FailedReadIsNotCached) {
    Start(1);
    WireFilter::Add(CMD_FPRD, 0x0508, DatagramFate::kLost, 4);
    EXPECT_EQ(SiiGetByte(&g_master, 1, 0x80), 0);
    EXPECT_FALSE(Filled(0x80));
    EXPECT_EQ(SiiGetByte(&g_master, 1, 0x80), Eeprom(1).words[0x40] & 0xFF);  // read again, now answered
    EXPECT_TRUE(Filled(0x80));
}

TEST_F(EepromAccess, CategoryWalkFindsTheLengthWordOfTheCategory) {
    Start(1);
    uint16_t* w = Eeprom(1).words;
    // general (30, 16 words) then strings (10)
    w[0x40] = 30;
    w[0x41] = 16;
    w[0x52] = 10;
    w[0x53] = 2;
    w[0x54] = 0x0301;  // one string of three characters
    w[0x55] = 0x4241;
    w[0x56] = 0xFFFF;
    EXPECT_EQ(SiiFind(&g_master, 1, 10), 0xA6);
    EXPECT_EQ(SiiFind(&g_master, 1, 30), 0x82);
    EXPECT_EQ(SiiFind(&g_master, 1, 40), 0);

    SiiGetByte(&g_master, 0, 4096);
    uint32_t reads = Eeprom(1).counters.reads;
    w[0x40] = 0xFFFF;
    EXPECT_EQ(SiiFind(&g_master, 1, 10), 0);
    EXPECT_EQ(Eeprom(1).counters.reads, reads + 1);

    // The flag is restored when the EEPROM was with the PDI at entry.
    SiiGetByte(&g_master, 0, 4096);
    w[0x40] = 10;
    EXPECT_EQ(EepromToPdi(&g_master, 1), 1);
    EXPECT_EQ(SiiFind(&g_master, 1, 10), 0x82);
    EXPECT_EQ(g_master.slave_table[1].eeprom_at_pdi, 1);
    EXPECT_EQ(Sim(1)->memory[0x0500], 0x01);
}

// A chain that leads back ends the walk, and so does a dead EEPROM, after one read.
TEST_F(EepromAccess, CategoryWalkEndsOnCyclesAndUnreadableBytes) {
    Start(1);
    uint16_t* w = Eeprom(1).words;
    SimEepromSetLatency(Sim(1), 0, 0);
    w[0x40] = 40;
    w[0x41] = 0x7FFE;  // 0x82 + 2 + 0xFFFC wraps to 0x80: the same category again
    TimeStamp start = ClockNow();
    EXPECT_EQ(SiiFind(&g_master, 1, 10), 0);
    w[0x41] = 0xFFFE;  // so does this length, doubled in 16 bits
    SiiGetByte(&g_master, 0, 4096);
    EXPECT_EQ(SiiFind(&g_master, 1, 10), 0);
    // Two categories that lead to each other: 0x80 -> 0x84 -> 0x80
    w[0x41] = 0;
    w[0x42] = 41;
    w[0x43] = 0x7FFC;
    SiiGetByte(&g_master, 0, 4096);
    EXPECT_EQ(SiiFind(&g_master, 1, 10), 0);
    EXPECT_LT(ElapsedUs(start), 5000000u);

    // Every data read lost: the walk stops at its first byte.
    SiiGetByte(&g_master, 0, 4096);
    uint32_t reads = Eeprom(1).counters.reads;
    WireFilter::Add(CMD_FPRD, 0x0508, DatagramFate::kLost);
    EXPECT_EQ(SiiFind(&g_master, 1, 10), 0);
    EXPECT_EQ(Eeprom(1).counters.reads, reads + 1);
}

TEST_F(EepromAccess, NameIsStringOneCutToFortyCharacters) {
    Start(1);
    char name[kSlaveNameBytes];
    const char* long_name = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrs";  // 45 characters
    SimEepromSetName(Sim(1), long_name);
    memset(name, 'x', sizeof(name));
    SiiString(&g_master, name, 1);
    EXPECT_EQ(std::string(name), std::string(long_name, 40));

    // Count byte 0 and a string of length 0 both give an empty name.
    int at = SiiFindCategory(Eeprom(1).words, kSiiCategoryStrings);
    Eeprom(1).words[at + 2] = 0x0000;
    SiiGetByte(&g_master, 0, 4096);
    memset(name, 'x', sizeof(name));
    SiiString(&g_master, name, 1);
    EXPECT_STREQ(name, "");
    Eeprom(1).words[at + 2] = 0x0001;
    SiiGetByte(&g_master, 0, 4096);
    memset(name, 'x', sizeof(name));
    EXPECT_TRUE(SiiStringChecked(&g_master, name, 1));
    EXPECT_STREQ(name, "");

    // No strings category: the buffer stays as it was.
    SimEepromSetName(Sim(1), nullptr);
    SiiGetByte(&g_master, 0, 4096);
    strcpy(name, "unchanged");
    EXPECT_FALSE(SiiStringChecked(&g_master, name, 1));
    EXPECT_STREQ(name, "unchanged");
}

// A string that cannot be read is not half copied.
TEST_F(EepromAccess, UnreadableNameLeavesTheBufferAlone) {
    Start(1);
    ASSERT_EQ(SiiFind(&g_master, 1, 10), 0x82);  // the category header is cached now
    WireFilter::Add(CMD_FPRD, 0x0508, DatagramFate::kLost);
    char name[kSlaveNameBytes] = "unchanged";
    EXPECT_FALSE(SiiStringChecked(&g_master, name, 1));
    EXPECT_STREQ(name, "unchanged");
}
