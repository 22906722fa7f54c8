// The many-slave SII engine against the in-process virtual segment, on the virtual clock:
// what it reads and writes, against the images and against the one-slave-at-a-time
// path, with faults on the wire and on some slaves only.
#include <array>
#include <cstdio>
#include <cstring>
#include <vector>

#include "link/capture.h"
#include "link/datagram.h"
#include "sim/segment.h"
#include "sim/inproc_capture.h"
#include "sim/sii_image.h"
#include "sim/sim_eeprom.h"
#include "slave/bringup.h"
#include "slave/eeprom.h"
#include "slave/packed_exchange.h"
#include "slave/sii_engine.h"
#include "support_segment.h"
#include "support_virtual_clock.h"

int PrepareMailboxes(MasterContext* master);

namespace {

// A back end around the fixture's that cuts the line at a chosen slave once a number of
// frames went out: from then on that slave and every slave behind it are silent, as
// when a cable is pulled during a dump.
// The same back end can instead give slave `at_slave`'s interface a read command of
// `stray_word` just before frame `after_frames` reaches the segment, as a PDI or another
// tool might behind the master's back.
struct LineCut {
    const CaptureBackend* inner = nullptr;
    CaptureBackend wrapped{};
    SimSegment* segment = nullptr;
    int after_frames = 0;
    int at_slave = 0;
    int frames = 0;
    int stray_word = -1;  // -1: cut the line instead
};
LineCut g_cut;

int CutSend(void* handle, const uint8_t* frame, int length) {
    if (++g_cut.frames == g_cut.after_frames) {
        if (g_cut.stray_word < 0) {
            g_cut.segment->vanished_from = g_cut.at_slave;
        } else {
            const uint8_t command[6] = {0x00, 0x01, static_cast<uint8_t>(g_cut.stray_word),
                                        static_cast<uint8_t>(g_cut.stray_word >> 8), 0, 0};
            SimSlaveWrite(g_cut.segment->slaves[static_cast<size_t>(g_cut.at_slave - 1)], 0x0502, 6, command);
        }
    }
    return g_cut.inner->send(handle, frame, length);
}

}  // namespace

class SiiEngine : public SegmentTest {
protected:
    // A segment with `slaves` slaves, addressed by the bring-up, every EEPROM of `words`
    // words filled with a pattern of its own.
    void Start(int slaves, const SimFaultSettings& faults = SimFaultSettings{}, uint32_t words = 2048) {
        StartSegment(slaves, faults);
        SimEepromAttach(segment);
        for (int n = 1; n <= slaves; n++) {
            SimEeprom& e = Eeprom(n);
            // Words 0-0x3F keep the default header and identity; the rest is a pattern
            // that differs per slave and per word.
            e.word_count = words;
            for (uint32_t w = 0x40; w < words; w++) e.words[w] = static_cast<uint16_t>(w * 7 + n * 0x1111);
        }
        ASSERT_EQ(ConfigureNetwork(&g_master), slaves);
    }
    void TearDown() override {
        if (g_cut.inner != nullptr) {
            PortUseBackend(&g_master.port, g_cut.inner);
            g_cut = LineCut{};
        }
        SegmentTest::TearDown();
    }
    void CutLineAt(int slave, int after_frames) {
        g_cut.inner = adapter.wire != nullptr ? CaptureActiveBackend() : nullptr;
        g_cut.wrapped = *g_cut.inner;
        g_cut.wrapped.send = CutSend;
        g_cut.segment = segment;
        g_cut.after_frames = after_frames;
        g_cut.at_slave = slave;
        g_cut.frames = 0;
        g_cut.stray_word = -1;
        PortUseBackend(&g_master.port, &g_cut.wrapped);
    }
    void StrayCommandBefore(int slave, int frame, uint16_t word) {
        CutLineAt(slave, frame);
        g_cut.stray_word = word;
    }
    SimSlave* Sim(int n) { return segment->slaves[static_cast<size_t>(n - 1)]; }
    SimEeprom& Eeprom(int n) { return Sim(n)->eeprom; }

    // One read job per slave over words first .. first + count - 1.
    void ReadAll(int slaves, uint16_t first, uint16_t count, SiiTally* tally = nullptr) {
        buffers.assign(static_cast<size_t>(slaves), std::vector<uint16_t>(count, 0xDEAD));
        jobs.assign(static_cast<size_t>(slaves), SiiJob{});
        for (int n = 1; n <= slaves; n++)
            jobs[static_cast<size_t>(n - 1)] =
                SiiJob{static_cast<uint16_t>(n), first, count, buffers[static_cast<size_t>(n - 1)].data(), 0, 0, 0};
        SiiReadMany(&g_master, jobs.data(), slaves, tally, reach);
    }
    // The words a job read are the image's; the words it did not read are untouched.
    void ExpectReadAsImage(int n) {
        const SiiJob& job = jobs[static_cast<size_t>(n - 1)];
        for (int k = 0; k < job.word_count; k++) {
            const uint16_t expected = k < job.words_done ? Eeprom(n).words[job.first_word + k] : 0xDEAD;
            ASSERT_EQ(job.words[k], expected) << "slave " << n << " word " << job.first_word + k;
        }
    }

    // Eight slaves on a line that drops, duplicates and delays 5% of its frames each:
    // every slave's first 512 words come back as its image holds them.
    void ExpectImagesReadUnderLoss(uint32_t seed) {
        SimFaultSettings faults{};
        faults.drop = 0.05;
        faults.duplicate = 0.05;
        faults.late = 0.05;
        faults.late_us = 3000;
        faults.seed = seed;
        Start(8, faults);
        ReadAll(8, 0, 512);
        for (int n = 1; n <= 8; n++) {
            EXPECT_EQ(jobs[static_cast<size_t>(n - 1)].status, kSiiDone) << n;
            ExpectReadAsImage(n);
        }
    }
    // On a started segment of `slaves`: slave 2's EEPROM NACKs, slave 4's stays busy and
    // slave 5's has two damaged words at 0x60. Those three fail as such (slave 5 after the
    // words before the damage), every other slave reads its 64 words, and nothing wrong
    // is kept by anyone.
    void ExpectFaultyEepromsFailAlone(int slaves) {
        Eeprom(2).faults.nack_all = true;
        Eeprom(4).faults.busy_stuck = true;
        Eeprom(5).faults.bad_words_first = 0x60;  // a damaged area inside the range
        Eeprom(5).faults.bad_words_count = 2;
        ReadAll(slaves, 0x40, 64);
        EXPECT_EQ(jobs[1].status, kSiiNack);
        EXPECT_EQ(jobs[3].status, kSiiBusy);
        EXPECT_EQ(jobs[4].status, kSiiNack);
        EXPECT_EQ(jobs[4].words_done, 0x20);
        for (int n = 1; n <= slaves; n++) {
            if (n == 2 || n == 4 || n == 5) continue;
            EXPECT_EQ(jobs[static_cast<size_t>(n - 1)].status, kSiiDone) << n;
            EXPECT_EQ(jobs[static_cast<size_t>(n - 1)].words_done, 64) << n;
        }
        for (int n = 1; n <= slaves; n++) ExpectReadAsImage(n);
    }

    VirtualClock clock{2};
    SiiReach reach = kSiiEachSlave;
    std::vector<SiiJob> jobs;
    std::vector<std::vector<uint16_t>> buffers;
};

TEST_F(SiiEngine, ReadsWholeEepromsOfManySlavesAsTheSingleSlavePathDoes) {
    Start(6);
    Eeprom(2).eight_byte_reads = true;  // 8 bytes per read on some slaves
    Eeprom(5).eight_byte_reads = true;
    SimEepromPowerOn(Sim(2));
    SimEepromPowerOn(Sim(5));
    SiiTally tally{};
    ReadAll(6, 0, 2048, &tally);
    for (int n = 1; n <= 6; n++) {
        const SiiJob& job = jobs[static_cast<size_t>(n - 1)];
        EXPECT_EQ(job.status, kSiiDone) << n;
        EXPECT_EQ(job.words_done, 2048) << n;
        ExpectReadAsImage(n);
        // 8-byte interfaces need half the commands.
        EXPECT_EQ(job.commands, Eeprom(n).eight_byte_reads ? 512 : 1024) << n;
    }
    // The one-slave path reads the same words.
    for (int n = 1; n <= 6; n++)
        for (uint16_t w : {0, 4, 8, 0x3E, 0x40, 0x41, 0x7FE}) {
            const uint64_t value = EepromReadWord(&g_master, g_master.slave_table[n].config_address, w);
            EXPECT_EQ(static_cast<uint16_t>(value), buffers[static_cast<size_t>(n - 1)][w]) << n << " " << w;
        }
    // All slaves shared the frames: every round went out in one frame of several
    // slaves' datagrams (a poll is one datagram: status, address and data together).
    EXPECT_EQ(tally.frames, tally.rounds);
    EXPECT_GT(tally.datagrams, 4 * tally.frames);
    EXPECT_GT(tally.rounds, 0u);
}

TEST_F(SiiEngine, JobsOfOneSlaveRunInOrderAndOddRangesEndWhereAsked) {
    Start(3);
    uint16_t a[3] = {0, 0, 0}, b[1] = {0}, c[5] = {0};
    SiiJob list[4] = {
        {2, 0x41, 3, a, 0, 0, 0},
        {1, 0x7FF, 1, b, 0, 0, 0},  // the last word: a read of 4 bytes wraps round, one is kept
        {2, 0x100, 5, c, 0, 0, 0},
        {3, 0x10, 0, nullptr, 0, 0, 0},  // nothing to read: done at once
    };
    EXPECT_EQ(SiiReadMany(&g_master, list, 4, nullptr), 4);
    for (int k = 0; k < 3; k++) EXPECT_EQ(a[k], Eeprom(2).words[0x41 + k]);
    EXPECT_EQ(b[0], Eeprom(1).words[0x7FF]);
    for (int k = 0; k < 5; k++) EXPECT_EQ(c[k], Eeprom(2).words[0x100 + k]);
    EXPECT_EQ(list[3].status, kSiiDone);
    EXPECT_EQ(list[3].commands, 0);
}

TEST_F(SiiEngine, BadJobsSendNothingAndDoNotStopTheOthers) {
    Start(2);
    uint16_t words[2] = {0, 0};
    SiiJob list[4] = {
        {0, 0, 1, words, 0, 0, 0},        // no slave 0
        {3, 0, 1, words, 0, 0, 0},        // no slave 3
        {1, 0xFFFF, 2, words, 0, 0, 0},   // beyond word 65535
        {2, 8, 2, words, 0, 0, 0},
    };
    const uint32_t before = Eeprom(1).counters.commands;
    EXPECT_EQ(SiiReadMany(&g_master, list, 4, nullptr), 1);
    EXPECT_EQ(list[0].status, kSiiBadJob);
    EXPECT_EQ(list[1].status, kSiiBadJob);
    EXPECT_EQ(list[2].status, kSiiBadJob);
    EXPECT_EQ(list[3].status, kSiiDone);
    EXPECT_EQ(Eeprom(1).counters.commands, before);
    EXPECT_EQ(words[0], Eeprom(2).words[8]);
    EXPECT_EQ(SiiReadMany(&g_master, nullptr, 0, nullptr), 0);
}

TEST_F(SiiEngine, LossDuplicatesAndLateRepliesGiveTheSameWords) { ExpectImagesReadUnderLoss(7); }

TEST_F(SiiEngine, NackingAndBusyEepromsFailAloneTheOthersFinish) {
    Start(6);
    ExpectFaultyEepromsFailAlone(6);
}

TEST_F(SiiEngine, ASlaveVanishingMidDumpSilencesTheSlavesBehindItOnly) {
    Start(5);
    CutLineAt(3, 40);
    ReadAll(5, 0, 1024);
    for (int n = 1; n <= 2; n++) {
        EXPECT_EQ(jobs[static_cast<size_t>(n - 1)].status, kSiiDone) << n;
        EXPECT_EQ(jobs[static_cast<size_t>(n - 1)].words_done, 1024) << n;
    }
    for (int n = 3; n <= 5; n++) {
        EXPECT_EQ(jobs[static_cast<size_t>(n - 1)].status, kSiiNoAnswer) << n;
        EXPECT_LT(jobs[static_cast<size_t>(n - 1)].words_done, 1024) << n;
    }
    for (int n = 1; n <= 5; n++) ExpectReadAsImage(n);
    EXPECT_STREQ(SiiJobStatusText(jobs[2].status), "no answer");
}

TEST_F(SiiEngine, EepromHeldByThePdiIsTakenAndGivenBack) {
    Start(3);
    g_master.slave_table[2].eeprom_at_pdi = 1;
    Sim(2)->memory[0x0500] = 0x01;
    ReadAll(3, 8, 6);
    for (int n = 1; n <= 3; n++) EXPECT_EQ(jobs[static_cast<size_t>(n - 1)].status, kSiiDone) << n;
    EXPECT_EQ(g_master.slave_table[2].eeprom_at_pdi, 1);
    EXPECT_EQ(Sim(2)->memory[0x0500], 0x01);
    EXPECT_EQ(g_master.slave_table[1].eeprom_at_pdi, 0);
    EXPECT_EQ(Sim(1)->memory[0x0500], 0x00);
    ExpectReadAsImage(2);
}

TEST_F(SiiEngine, WritesLandOnEverySlaveAndAFailedWriteStopsThatSlavesLaterWrites) {
    Start(5);
    Eeprom(3).faults.nack_writes_all = true;
    uint16_t alias[5], checksum[5], block[5][4];
    std::vector<SiiJob> list;
    for (int n = 1; n <= 5; n++) {
        alias[n - 1] = static_cast<uint16_t>(0x100 + n);
        checksum[n - 1] = static_cast<uint16_t>(0x5A00 + n);
        for (int k = 0; k < 4; k++) block[n - 1][k] = static_cast<uint16_t>(0xA000 + 16 * n + k);
        list.push_back(SiiJob{static_cast<uint16_t>(n), 4, 1, &alias[n - 1], 0, 0, 0});
        list.push_back(SiiJob{static_cast<uint16_t>(n), 7, 1, &checksum[n - 1], 0, 0, 0});
        list.push_back(SiiJob{static_cast<uint16_t>(n), 0x200, 4, block[n - 1], 0, 0, 0});
    }
    const uint16_t untouched_word7 = Eeprom(3).words[7];
    SiiTally tally{};
    EXPECT_EQ(SiiWriteMany(&g_master, list.data(), static_cast<int>(list.size()), &tally), 12);
    for (int n = 1; n <= 5; n++) {
        const SiiJob* mine = &list[static_cast<size_t>(3 * (n - 1))];
        if (n == 3) {
            EXPECT_EQ(mine[0].status, kSiiNack);
            EXPECT_EQ(mine[1].status, kSiiSkipped);
            EXPECT_EQ(mine[2].status, kSiiSkipped);
            EXPECT_EQ(Eeprom(3).words[7], untouched_word7);
            EXPECT_EQ(Eeprom(3).counters.words_written, 0u);
            continue;
        }
        for (int k = 0; k < 3; k++) EXPECT_EQ(mine[k].status, kSiiDone) << n << " " << k;
        EXPECT_EQ(Eeprom(n).words[4], alias[n - 1]);
        EXPECT_EQ(Eeprom(n).words[7], checksum[n - 1]);
        for (int k = 0; k < 4; k++) EXPECT_EQ(Eeprom(n).words[0x200 + k], block[n - 1][k]);
        EXPECT_EQ(mine[0].commands, 1);
        EXPECT_EQ(Eeprom(n).counters.words_written, 6u);
    }
    // The writes of all slaves overlapped: about as many rounds as one slave needs.
    EXPECT_LT(tally.rounds, 6u * 40u);
}

TEST_F(SiiEngine, WritesUnderLossAreConfirmedOrReportedNeverClaimed) {
    SimFaultSettings faults{};
    faults.drop = 0.08;
    faults.duplicate = 0.05;
    faults.seed = 11;
    Start(6, faults);
    uint16_t values[6][8];
    std::vector<SiiJob> list;
    for (int n = 1; n <= 6; n++) {
        for (int k = 0; k < 8; k++) values[n - 1][k] = static_cast<uint16_t>(0x3000 + 0x100 * n + k);
        list.push_back(SiiJob{static_cast<uint16_t>(n), 0x300, 8, values[n - 1], 0, 0, 0});
    }
    SiiWriteMany(&g_master, list.data(), 6, nullptr);
    for (int n = 1; n <= 6; n++) {
        const SiiJob& job = list[static_cast<size_t>(n - 1)];
        // Every word reported written is in the EEPROM.
        for (int k = 0; k < job.words_done; k++) EXPECT_EQ(Eeprom(n).words[0x300 + k], values[n - 1][k]) << n;
        if (job.status == kSiiDone) {
            EXPECT_EQ(job.words_done, 8);
        }
    }
}

TEST_F(SiiEngine, PackedExchangeSplitsAtTheFrameLimitAndAnswersEachDatagram) {
    Start(4);
    // 4 slaves x 100 datagrams of 20 bytes: 32 bytes each on the wire, 46 per frame.
    std::vector<PackedDatagram> list;
    std::vector<std::array<uint8_t, 20>> data(400);
    for (int k = 0; k < 400; k++) {
        const int n = 1 + k % 4;
        list.push_back(PackedDatagram{CMD_FPRD, g_master.slave_table[n].config_address, 0x0000, 20, nullptr,
                                      data[static_cast<size_t>(k)].data(), -99});
    }
    list.push_back(PackedDatagram{CMD_FPRD, 0x7777, 0x0000, 2, nullptr, nullptr, -99});  // nobody
    PackedTally tally{};
    EXPECT_EQ(PackedExchange(&g_master.port, list.data(), 401, 2000, &tally), 9);
    EXPECT_EQ(tally.frames, 9u);
    EXPECT_EQ(tally.round_trips, 2u);  // 8 frames in flight, then one
    for (int k = 0; k < 400; k++) {
        ASSERT_EQ(list[static_cast<size_t>(k)].result, 1) << k;
        const int n = 1 + k % 4;
        ASSERT_EQ(memcmp(data[static_cast<size_t>(k)].data(), Sim(n)->memory, 20), 0) << k;
    }
    EXPECT_EQ(list[400].result, 0);
    PackedDatagram too_long{CMD_FPRD, 0, 0, 1487, nullptr, nullptr, 0};
    EXPECT_EQ(PackedExchange(&g_master.port, &too_long, 1, 2000, nullptr), ArgumentError);
}

// The bring-up on the engine against the slave-after-slave path it replaced.
class ParallelBringup : public SegmentTest {
protected:
    SimSlave* Sim(int n) { return segment->slaves[static_cast<size_t>(n - 1)]; }
    // Six slaves of different kinds: 8-byte reads, no mailbox, no strings, a long name.
    void Shape() {
        SimEepromAttach(segment);
        SimEepromSetEightByteReads(Sim(2), true);
        SimEepromSetMailboxSize(Sim(4), 0);
        SimEepromSetName(Sim(5), nullptr);
        SimEepromSetName(Sim(6), "a name longer than the forty characters the table keeps");
        SimEepromSetAlias(Sim(3), 0x0333);
        for (int n = 1; n <= 6; n++) SimEepromRepowerOn(Sim(n));
    }
    // The names as the legacy Init gave them, slave after slave through the SII cache.
    static void NameSlaveBySlave() {
        for (int n = 2; n <= g_master.slave_count; n++) {
            SlaveRecord& record = g_master.slave_table[n];
            if (SiiFind(&g_master, static_cast<uint16_t>(n), kSiiCategoryStrings) != 0)
                SiiString(&g_master, record.name, static_cast<uint16_t>(n));
            if (record.name[0] == '\0')
                snprintf(record.name, sizeof(record.name), "? M:%8.8x I:%8.8x", record.vendor_id, record.product_code);
        }
    }
    static SlaveTable SlaveBySlaveTable() {
        EXPECT_EQ(ConfigureNetworkWith(&g_master, EepromReadOrder::kSlaveBySlave), 6);
        NameSlaveBySlave();
        return g_master.slave_table;
    }
    static SlaveTable ParallelTable() {
        EXPECT_EQ(ConfigureNetwork(&g_master), 6);
        NameSlaves(&g_master, 2);
        return g_master.slave_table;
    }
    static void ExpectSameTables(const SlaveTable& a, const SlaveTable& b) {
        for (int n = 0; n < kMaxSlaveRecords; n++) {
            EXPECT_EQ(memcmp(&a[n], &b[n], sizeof(SlaveRecord)), 0) << "record " << n << ": " << a[n].name << " / "
                                                                   << b[n].name;
        }
    }
    VirtualClock clock{2};
};

TEST_F(ParallelBringup, GivesTheSlaveBySlaveTableNamesIncluded) {
    StartSegment(6);
    Shape();
    const SlaveTable reference = SlaveBySlaveTable();
    EXPECT_STREQ(reference[5].name, "? M:00000ec5 I:00010005");
    EXPECT_EQ(strlen(reference[6].name), 40u);
    uint64_t frames = InprocFramesSent();
    const SlaveTable parallel = ParallelTable();
    ExpectSameTables(reference, parallel);
    // Far fewer frames than one per datagram.
    EXPECT_LT(InprocFramesSent() - frames, 200u);
}

TEST_F(ParallelBringup, NackingAndBusySlavesFailAloneAsInTheSlaveBySlavePath) {
    StartSegment(6);
    Shape();
    Sim(3)->eeprom.faults.nack_all = true;
    Sim(5)->eeprom.faults.busy_stuck = true;
    const SlaveTable reference = SlaveBySlaveTable();
    EXPECT_EQ(reference[3].vendor_id, 0u);
    EXPECT_STREQ(reference[3].name, "? M:00000000 I:00000000");
    const SlaveTable parallel = ParallelTable();
    ExpectSameTables(reference, parallel);
    EXPECT_EQ(parallel[6].product_code, kSiiDefaultProductBase + 6);
}

TEST_F(ParallelBringup, LossDuplicatesAndLateRepliesGiveTheUnfaultedTable) {
    StartSegment(6);
    Shape();
    const SlaveTable clean = ParallelTable();
    TearDown();
    SimFaultSettings faults{};
    faults.drop = 0.05;
    faults.duplicate = 0.1;
    faults.late = 0.05;
    faults.late_us = 2500;
    for (uint64_t seed : {3u, 4u, 5u}) {
        faults.seed = seed;
        StartSegment(6, faults);
        Shape();
        const SlaveTable lossy = ParallelTable();
        ExpectSameTables(clean, lossy);
        TearDown();
    }
    StartSegment(1);  // for the fixture's TearDown
}

TEST_F(ParallelBringup, MailboxSetupAndStateChecksOfEverySlaveShareTheirFrames) {
    StartSegment(5);
    SimEepromAttach(segment);
    SimEepromSetMailboxSize(Sim(3), 0);
    ASSERT_EQ(ConfigureNetwork(&g_master), 5);
    uint64_t frames = InprocFramesSent();
    EXPECT_EQ(PrepareMailboxes(&g_master), 4);
    EXPECT_LT(InprocFramesSent() - frames, 60u);
    for (int n : {1, 2, 4, 5}) {
        EXPECT_EQ(g_master.slave_table[n].state & 0x0F, kAlStatePreOp) << n;
        EXPECT_EQ(g_master.slave_table[n].mbx_read_offset, 0x1080) << n;
        EXPECT_EQ(g_master.slave_table[n].eeprom_at_pdi, 1) << n;
    }
    EXPECT_NE(g_master.slave_table[3].state & 0x0F, kAlStatePreOp);  // no mailbox: left alone
    // Back to INIT, every slave in the same frames.
    const uint16_t slaves[4] = {1, 2, 4, 5};
    frames = InprocFramesSent();
    StateRequestAll(&g_master, slaves, 4, kAlStateInit);
    EXPECT_EQ(StateCheckAll(&g_master, slaves, 4, kAlStateInit, 100000), 4);
    EXPECT_LE(InprocFramesSent() - frames, 3u);
    // A state no slave reaches: the call ends at its timeout with each slave's last state.
    EXPECT_EQ(StateCheckAll(&g_master, slaves, 4, kAlStateOp, 20000), 0);
    EXPECT_EQ(g_master.slave_table[1].state & 0x0F, kAlStateInit);
}


// What a call costs in rounds, and what it may skip: a read's poll is one datagram
// (status, address and data together); a slave whose last answered status showed the
// interface idle needs no wait before the next call's first command; a command of the
// one-slave path in between takes that knowledge away.
TEST_F(SiiEngine, ACallStartsOnTheLastIdleStatusUnlessSomethingCommandedTheSlaveSince) {
    Start(3);
    // Knowledge from an earlier call dropped: the first call waits for an idle interface.
    EepromReadWord(&g_master, g_master.slave_table[1].config_address, 0x40);
    SiiTally waited{};
    uint16_t word = 0;
    SiiJob one{1, 0x50, 1, &word, 0, 0, 0};
    ASSERT_EQ(SiiReadMany(&g_master, &one, 1, &waited), 1);
    EXPECT_EQ(word, Eeprom(1).words[0x50]);
    // One slave, one datagram a round: the poll carries the data register with it.
    EXPECT_EQ(waited.datagrams, waited.rounds);

    // The next call goes straight to its command: one round less.
    SiiTally straight{};
    one = SiiJob{1, 0x60, 1, &word, 0, 0, 0};
    ASSERT_EQ(SiiReadMany(&g_master, &one, 1, &straight), 1);
    EXPECT_EQ(word, Eeprom(1).words[0x60]);
    EXPECT_EQ(straight.rounds + 1, waited.rounds);

    // A command of the one-slave path in between: the wait comes back.
    EepromReadWord(&g_master, g_master.slave_table[1].config_address, 0x41);
    SiiTally again{};
    one = SiiJob{1, 0x70, 1, &word, 0, 0, 0};
    ASSERT_EQ(SiiReadMany(&g_master, &one, 1, &again), 1);
    EXPECT_EQ(word, Eeprom(1).words[0x70]);
    EXPECT_EQ(again.rounds, waited.rounds);

    // Writes always wait first, whatever the last status showed.
    SiiTally written{};
    uint16_t value = 0x1234;
    SiiJob write{1, 0x80, 1, &value, 0, 0, 0};
    ASSERT_EQ(SiiReadMany(&g_master, &one, 1, nullptr), 1);
    ASSERT_EQ(SiiWriteMany(&g_master, &write, 1, &written), 1);
    EXPECT_EQ(Eeprom(1).words[0x80], 0x1234);
    EXPECT_EQ(written.datagrams, written.rounds);  // one datagram a round: the status poll came first
    EXPECT_GE(written.rounds, 4u);                 // status, data, command, poll
}

// A command someone else gave the interface behind the master's back (here a raw
// register write, which the master does not track) while the engine believes it idle:
// the engine's command is ignored while the other read runs, and the data register then
// holds the other word. The poll shows the other word's address, so the word is read
// afresh and the right contents come back.
TEST_F(SiiEngine, ACommandGivenBehindTheMastersBackIsToldApartByTheAddressItShows) {
    Start(2);
    uint16_t warm[2] = {0, 0};
    SiiJob jobs_warm[2] = {{1, 0x40, 1, &warm[0], 0, 0, 0}, {2, 0x40, 1, &warm[1], 0, 0, 0}};
    ASSERT_EQ(SiiReadMany(&g_master, jobs_warm, 2, nullptr), 2);  // both slaves end idle, known so
    Eeprom(1).words[0x123] = 0xAAAA;
    Eeprom(1).words[0x200] = 0x5555;
    Eeprom(1).words[0x201] = 0x6666;
    const uint8_t command[6] = {0x00, 0x01, 0x23, 0x01, 0, 0};  // read word 0x123
    ASSERT_EQ(FPWR(&g_master.port, g_master.slave_table[1].config_address, 0x0502, 6, command, 100000), 1);
    uint16_t words[2] = {0, 0};
    uint16_t other = 0;
    SiiJob read[2] = {{1, 0x200, 2, words, 0, 0, 0}, {2, 0x300, 1, &other, 0, 0, 0}};
    ASSERT_EQ(SiiReadMany(&g_master, read, 2, nullptr), 2);
    EXPECT_EQ(words[0], 0x5555);
    EXPECT_EQ(words[1], 0x6666);
    EXPECT_EQ(other, Eeprom(2).words[0x300]);
    EXPECT_EQ(read[0].commands, 2u) << "the word whose command was ignored was commanded again";
    EXPECT_EQ(read[1].commands, 1u) << "the other slave's knowledge stood";
}

// The gap after a command counts from the round's send: on a long line the command's
// reply takes longer than the EEPROM's read, and the first poll, sent as that reply is
// in, finds the word read. Counted from the reply, the gap would add its 200 us.
TEST_F(SiiEngine, TheFirstPollAfterACommandIsDueFromItsSendNotItsReply) {
    SimFaultSettings line{};
    line.wire_timing = true;
    line.forward_ns = 400000;  // 0.4 ms through the slave: longer than a read (0.25 ms)
    Start(1, line);
    uint16_t word = 0;
    SiiJob warm{1, 0x40, 1, &word, 0, 0, 0};
    ASSERT_EQ(SiiReadMany(&g_master, &warm, 1, nullptr), 1);
    uint8_t status[2];
    const uint64_t before_rt = clock.Micros();
    ASSERT_EQ(FPRD(&g_master.port, g_master.slave_table[1].config_address, 0x0502, 2, status, 100000), 1);
    const uint64_t round_trip = clock.Micros() - before_rt;
    ASSERT_GT(round_trip, 400u);

    uint16_t two[2] = {0, 0};
    SiiJob one{1, 0x44, 2, two, 0, 0, 0};
    SiiTally tally{};
    const uint64_t before = clock.Micros();
    ASSERT_EQ(SiiReadMany(&g_master, &one, 1, &tally), 1);
    const uint64_t took = clock.Micros() - before;
    EXPECT_EQ(two[0], Eeprom(1).words[0x44]);
    EXPECT_EQ(two[1], Eeprom(1).words[0x45]);
    EXPECT_EQ(tally.rounds, 2u) << "the command, then one poll that found the word read";
    EXPECT_LT(took, 2 * round_trip + 150) << "no gap of its own between the command's reply and the poll";
}

// Behind each poll goes the command for the slave's next word (of the job, or the first
// of its next job): the slave runs it only when the poll beside it found the interface
// idle, so on a line where a round trip outlasts a read, a read costs one round trip.
TEST_F(SiiEngine, ThePollCarriesTheNextWordsCommandAndAReadCostsOneRoundTrip) {
    SimFaultSettings line{};
    line.wire_timing = true;
    line.forward_ns = 400000;  // each round trip longer than a read
    Start(1, line);
    uint16_t warm = 0;
    SiiJob first{1, 0x40, 1, &warm, 0, 0, 0};
    ASSERT_EQ(SiiReadMany(&g_master, &first, 1, nullptr), 1);
    uint16_t a[8] = {}, b[2] = {};
    SiiJob two[2] = {{1, 0x100, 8, a, 0, 0, 0}, {1, 0x200, 2, b, 0, 0, 0}};
    SiiTally tally{};
    ASSERT_EQ(SiiReadMany(&g_master, two, 2, &tally), 2);
    for (int k = 0; k < 8; k++) EXPECT_EQ(a[k], Eeprom(1).words[0x100 + k]) << k;
    for (int k = 0; k < 2; k++) EXPECT_EQ(b[k], Eeprom(1).words[0x200 + k]) << k;
    EXPECT_EQ(two[0].commands, 4u);
    EXPECT_EQ(two[1].commands, 1u);
    // Five reads: the first command, then one poll each (the last with no command behind).
    EXPECT_EQ(tally.rounds, 6u);
    EXPECT_EQ(Eeprom(1).counters.ignored_while_busy, 0u) << "every command behind a poll found the interface idle";
}

// kSiiWholeSegment: the read command most slaves of a round share goes out as one
// broadcast behind the polls (a slave with 8-byte reads, ahead of the others, sends its
// own). The words read are the same as with a command per slave, in little more than
// half the datagrams.
TEST_F(SiiEngine, BroadcastCommandsReadWhatCommandsPerSlaveReadInFewerDatagrams) {
    Start(8);
    Eeprom(3).eight_byte_reads = true;
    SimEepromPowerOn(Sim(3));
    SiiTally each{};
    ReadAll(8, 0, 256, &each);
    const std::vector<std::vector<uint16_t>> per_slave = buffers;
    SiiTally shared{};
    reach = kSiiWholeSegment;
    ReadAll(8, 0, 256, &shared);
    for (int n = 1; n <= 8; n++) {
        const SiiJob& job = jobs[static_cast<size_t>(n - 1)];
        EXPECT_EQ(job.status, kSiiDone) << n;
        EXPECT_EQ(job.words_done, 256) << n;
        ExpectReadAsImage(n);
        EXPECT_EQ(buffers[static_cast<size_t>(n - 1)], per_slave[static_cast<size_t>(n - 1)]) << n;
    }
    // Eight polls and two commands a round instead of eight of each.
    EXPECT_LT(shared.datagrams * 10, each.datagrams * 7);
    EXPECT_LE(shared.rounds, each.rounds + 1);
}

TEST_F(SiiEngine, BroadcastCommandsUnderLossDuplicatesAndLateRepliesGiveTheSameWords) {
    reach = kSiiWholeSegment;
    ExpectImagesReadUnderLoss(11);
}

// Slaves out of step (8-byte reads, a NACKing, a stuck and a damaged EEPROM) end as they
// do with commands per slave, and the slaves in step still finish: a round with any slave
// out of step sends no broadcast, so none is kept busy by the others' commands.
TEST_F(SiiEngine, BroadcastCommandsLeaveSlavesOutOfStepTheirOwnCommands) {
    Start(7);
    Eeprom(6).eight_byte_reads = true;
    SimEepromPowerOn(Sim(6));
    reach = kSiiWholeSegment;
    ExpectFaultyEepromsFailAlone(7);
}

// A read command given behind the master's back just before the broadcast arrives: the
// interface is busy and ignores the broadcast, then shows the other word's address, and
// the word is read afresh; the slave beside it keeps its word.
TEST_F(SiiEngine, ABroadcastTheInterfaceIgnoredIsToldApartByTheAddressItShows) {
    Start(2);
    // The master's knowledge of both interfaces is gone: the call waits for idle first
    // (round 1, frame 1), then sends the shared command (round 2, frame 2).
    EepromReadWord(&g_master, g_master.slave_table[1].config_address, 0x40);
    EepromReadWord(&g_master, g_master.slave_table[2].config_address, 0x40);
    Eeprom(1).words[0x123] = 0xAAAA;
    Eeprom(1).words[0x200] = 0x5555;
    Eeprom(2).words[0x200] = 0x7777;
    StrayCommandBefore(1, 2, 0x123);
    uint16_t words[2] = {0, 0};
    SiiJob read[2] = {{1, 0x200, 1, &words[0], 0, 0, 0}, {2, 0x200, 1, &words[1], 0, 0, 0}};
    SiiTally tally{};
    ASSERT_EQ(SiiReadMany(&g_master, read, 2, &tally, kSiiWholeSegment), 2);
    EXPECT_EQ(words[0], 0x5555);
    EXPECT_EQ(words[1], 0x7777);
    EXPECT_EQ(read[0].commands, 2u) << "the word whose broadcast was ignored was commanded again";
    EXPECT_EQ(read[1].commands, 1u);
    EXPECT_GE(Eeprom(1).counters.ignored_while_busy, 1u) << "the stray read was running when the broadcast came";
}
