// The simulated EEPROM interface of a slave controller, driven register by register.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/segment.h"
#include "sim/wire.h"

namespace {

constexpr uint16_t kControl = 0x0502;
constexpr uint16_t kData = 0x0508;

class SimEepromTest : public ::testing::Test {
protected:
    void SetUp() override {
        segment = SimSegmentCreate(3);
        SimEepromAttach(segment);
    }
    void TearDown() override {
        SimSegmentDestroy(segment);
        if (!folder.empty()) {
            std::string command = "rm -rf '" + folder + "'";
            ASSERT_EQ(system(command.c_str()), 0);
        }
    }
    SimSlave* Slave(int n) { return segment->slaves[static_cast<size_t>(n - 1)]; }
    uint16_t Status(int n) {
        uint8_t bytes[2];
        EXPECT_TRUE(SimSlaveRead(Slave(n), kControl, 2, bytes));
        return SimGet16(bytes);
    }
    void Command(int n, uint16_t control, uint16_t word) {
        uint8_t record[6] = {0};
        SimPut16(record, control);
        SimPut16(record + 2, word);
        ASSERT_TRUE(SimSlaveWrite(Slave(n), kControl, 6, record));
    }
    void WriteData(int n, uint16_t value) {
        uint8_t bytes[2];
        SimPut16(bytes, value);
        ASSERT_TRUE(SimSlaveWrite(Slave(n), kData, 2, bytes));
    }
    uint64_t Data(int n) {
        uint8_t bytes[8];
        EXPECT_TRUE(SimSlaveRead(Slave(n), kData, 8, bytes));
        return SimGet32(bytes) | (static_cast<uint64_t>(SimGet32(bytes + 4)) << 32);
    }
    // Polls the status until the busy bit clears (bounded).
    uint16_t WaitIdle(int n) {
        uint64_t give_up = SimNowMicros() + 2000000;
        uint16_t status = Status(n);
        while ((status & 0x8000) && SimNowMicros() < give_up) status = Status(n);
        return status;
    }
    std::string MakeFolder() {
        char pattern[] = "/tmp/ecalias-sim-eeprom.XXXXXX";
        const char* made = mkdtemp(pattern);
        EXPECT_NE(made, nullptr);
        folder = made != nullptr ? made : "";
        return folder;
    }
    static std::string ReadFile(const std::string& path) {
        FILE* file = fopen(path.c_str(), "rb");
        if (file == nullptr) return "";
        std::string bytes;
        char buffer[8192];
        size_t n;
        while ((n = fread(buffer, 1, sizeof(buffer), file)) > 0) bytes.append(buffer, n);
        fclose(file);
        return bytes;
    }

    SimSegment* segment = nullptr;
    std::string folder;
};

uint32_t ImageLong(const SimEeprom& e, int word) {
    return static_cast<uint32_t>(e.words[word]) | (static_cast<uint32_t>(e.words[word + 1]) << 16);
}

}  // namespace

TEST_F(SimEepromTest, PowerOnLoadsTheHeaderOnlyWhenItsChecksumHolds) {
    SimEepromSetAlias(Slave(1), 0x1234);
    SimEepromRepowerOn(Slave(1));
    EXPECT_EQ(Status(1), 0x0000);
    EXPECT_EQ(SimGet16(Slave(1)->memory + 0x0012), 0x1234);
    EXPECT_EQ(SimGet16(Slave(1)->memory + 0x0140), kSiiDefaultPdiControl);

    SimEepromSetWord(Slave(2), 4, 0x4321);  // checksum left stale
    SimEepromRepowerOn(Slave(2));
    EXPECT_EQ(Status(2), kEepromStatusChecksumError);
    EXPECT_EQ(SimGet16(Slave(2)->memory + 0x0012), 0);
    EXPECT_EQ(SimGet16(Slave(2)->memory + 0x0140), 0);

    SimEepromSetEightByteReads(Slave(3), true);
    EXPECT_EQ(Status(3), kEepromStatusEightByte);
}

TEST_F(SimEepromTest, ReadIsBusyForItsLatencyThenDeliversTheWords) {
    SimEepromSetLatency(Slave(1), 3000, 5000);
    uint64_t start = SimNowMicros();
    Command(1, 0x0100, 0x0008);
    uint16_t status = Status(1);
    if (SimNowMicros() - start < 3000) {
        EXPECT_EQ(status, 0x8100);
    }
    status = WaitIdle(1);
    EXPECT_GE(SimNowMicros() - start, 3000u);
    EXPECT_EQ(status, 0x0000);
    EXPECT_EQ(Data(1), ImageLong(Slave(1)->eeprom, 0x0008));  // 4 bytes, the rest 0

    SimEepromSetEightByteReads(Slave(2), true);
    SimEepromSetLatency(Slave(2), 0, 0);
    Command(2, 0x0100, 0x0008);
    EXPECT_EQ(Status(2), kEepromStatusEightByte);  // latency 0: done at the next look
    EXPECT_EQ(Data(2), ImageLong(Slave(2)->eeprom, 0x0008) |
                           (static_cast<uint64_t>(ImageLong(Slave(2)->eeprom, 0x000A)) << 32));
    // The address register shows the word address; reads past the image wrap.
    EXPECT_EQ(SimGet32(Slave(2)->memory + 0x0504), 8u);
    Command(2, 0x0100, 2047);
    Status(2);
    EXPECT_EQ(Data(2) >> 16 & 0xFFFF, Slave(2)->eeprom.words[0]);
}

TEST_F(SimEepromTest, CommandsAddressAndDataWrittenWhileBusyAreIgnored) {
    SimEepromSetLatency(Slave(1), 1000000, 1000000);
    Command(1, 0x0100, 0x0008);
    Command(1, 0x0100, 0x000A);
    WriteData(1, 0x7777);
    EXPECT_EQ(Slave(1)->eeprom.counters.ignored_while_busy, 1u);
    EXPECT_EQ(Slave(1)->eeprom.counters.commands, 1u);
    EXPECT_EQ(SimGet32(Slave(1)->memory + 0x0504), 8u);
    EXPECT_EQ(SimGet16(Slave(1)->memory + kData), 0);
    EXPECT_EQ(Status(1), 0x8100);
    // Finishing it (as at exit) completes the read of word 8.
    SimEepromSaveAll(segment);
    EXPECT_EQ(Status(1), 0x0000);
    EXPECT_EQ(Data(1), ImageLong(Slave(1)->eeprom, 0x0008));
}

TEST_F(SimEepromTest, WriteNeedsTheEnableBitInTheSameWrite) {
    SimEepromSetLatency(Slave(1), 0, 2000);
    uint16_t before = Slave(1)->eeprom.words[4];
    WriteData(1, 0xCAFE);
    Command(1, 0x0200, 4);  // no write enable
    EXPECT_EQ(Status(1), kEepromStatusWriteEnableError);
    EXPECT_EQ(Slave(1)->eeprom.words[4], before);
    // Write enable alone in an earlier write does not carry over.
    uint8_t enable = 0x01;
    ASSERT_TRUE(SimSlaveWrite(Slave(1), kControl, 1, &enable));
    Command(1, 0x0200, 4);
    EXPECT_EQ(Slave(1)->eeprom.words[4], before);
    EXPECT_EQ(Slave(1)->eeprom.counters.write_enable_errors, 2u);
    Command(1, 0x0000, 0);  // clears the error bits
    EXPECT_EQ(Status(1), 0x0000);

    uint64_t start = SimNowMicros();
    Command(1, 0x0201, 4);
    EXPECT_EQ(Status(1) & 0x8000, 0x8000);
    EXPECT_EQ(WaitIdle(1), 0x0000);
    EXPECT_GE(SimNowMicros() - start, 2000u);
    EXPECT_EQ(Slave(1)->eeprom.words[4], 0xCAFE);
    EXPECT_EQ(Slave(1)->eeprom.counters.words_written, 1u);
}

TEST_F(SimEepromTest, ReloadTakesTheNewHeaderAndUnknownCommandsAreRefused) {
    SimEepromSetLatency(Slave(1), 0, 0);
    SimEepromSetWord(Slave(1), 4, 0x00AA);  // bad checksum now, but nothing reloaded yet
    EXPECT_EQ(Status(1), 0x0000);
    Command(1, 0x0400, 0);
    EXPECT_EQ(Status(1), kEepromStatusChecksumError);
    Command(1, 0x0000, 0);  // command 0 leaves the checksum state alone
    EXPECT_EQ(Status(1), kEepromStatusChecksumError);
    SimEepromUpdateChecksum(Slave(1));
    Command(1, 0x0400, 0);
    EXPECT_EQ(Status(1), 0x0000);
    EXPECT_EQ(SimGet16(Slave(1)->memory + 0x0012), 0x00AA);

    Command(1, 0x0300, 0);
    EXPECT_EQ(Status(1), kEepromStatusNack);
    EXPECT_EQ(Slave(1)->eeprom.counters.commands, 2u);  // the two reloads
}

TEST_F(SimEepromTest, InjectedNacksBusyAndSilence) {
    SimEeprom& e = Slave(1)->eeprom;
    SimEepromSetLatency(Slave(1), 0, 0);
    e.faults.nack_first = 2;
    Command(1, 0x0100, 0x0008);
    EXPECT_EQ(Status(1), kEepromStatusNack);
    EXPECT_EQ(Data(1), 0u);
    Command(1, 0x0100, 0x0008);
    EXPECT_EQ(Status(1), kEepromStatusNack);
    Command(1, 0x0100, 0x0008);  // a new command reports its own outcome
    EXPECT_EQ(Status(1), 0x0000);
    EXPECT_EQ(Data(1), ImageLong(e, 0x0008));
    EXPECT_EQ(e.counters.nacks, 2u);

    e.faults.nack_all = true;
    for (int i = 0; i < 5; i++) {
        Command(1, 0x0201, 4);
        EXPECT_EQ(Status(1), kEepromStatusNack);
    }
    EXPECT_EQ(e.counters.words_written, 0u);
    e.faults.nack_all = false;

    // Refused writes, reads unaffected.
    e.faults.nack_writes_first = 2;
    Command(1, 0x0100, 0x0008);
    EXPECT_EQ(Status(1), 0x0000);
    Command(1, 0x0201, 4);
    EXPECT_EQ(Status(1), kEepromStatusNack);
    Command(1, 0x0201, 4);
    EXPECT_EQ(Status(1), kEepromStatusNack);
    Command(1, 0x0201, 4);
    EXPECT_EQ(Status(1), 0x0000);
    EXPECT_EQ(e.counters.words_written, 1u);
    e.counters.words_written = 0;

    // A damaged area NACKs its words only.
    e.faults.bad_words_first = 0x0040;
    e.faults.bad_words_count = 2;
    Command(1, 0x0100, 0x0041);
    EXPECT_EQ(Status(1), kEepromStatusNack);
    Command(1, 0x0201, 0x0040);
    EXPECT_EQ(Status(1), kEepromStatusNack);
    Command(1, 0x0100, 0x0042);
    EXPECT_EQ(Status(1), 0x0000);
    Command(1, 0x0100, 0x003F);
    EXPECT_EQ(Status(1), 0x0000);
    e.faults.bad_words_count = 0;

    e.faults.busy_stuck = true;
    Command(1, 0x0100, 0x000A);
    usleep(2000);
    EXPECT_EQ(Status(1), 0x8100);
    e.faults.busy_stuck = false;

    // Silence on one register: reads covering either of its bytes are not executed.
    Slave(2)->eeprom.faults.no_answer_register = kData;
    uint8_t bytes[8];
    EXPECT_FALSE(SimSlaveRead(Slave(2), kData, 4, bytes));
    EXPECT_FALSE(SimSlaveRead(Slave(2), kData + 1, 1, bytes));
    EXPECT_FALSE(SimSlaveRead(Slave(2), 0x0500, 16, bytes));
    EXPECT_TRUE(SimSlaveRead(Slave(2), kControl, 2, bytes));
    EXPECT_TRUE(SimSlaveRead(Slave(2), kData + 2, 2, bytes));
}

TEST_F(SimEepromTest, SilentRegisterAndVanishingSlaveOnTheWire) {
    SimWire wire;
    SimWireInit(&wire, segment, SimFaultSettings{});
    // A datagram the slave does not execute comes back with working counter 0.
    Slave(1)->eeprom.faults.no_answer_register = kControl;
    SimPut16(Slave(1)->memory + 0x0010, 0x1001);
    uint8_t frame[64] = {0};
    memset(frame, 0xFF, 6);
    frame[12] = 0x88;
    frame[13] = 0xA4;
    SimPut16(frame + 14, 0x100C + 2);
    frame[16] = 4;                    // FPRD
    SimPut16(frame + 18, 0x1001);
    SimPut16(frame + 20, kControl);
    SimPut16(frame + 22, 2);
    SimWireRequest(&wire, frame, 30);
    uint8_t reply[1518];
    ASSERT_EQ(SimWireTake(&wire, reply), 30);
    EXPECT_EQ(SimGet16(reply + 28), 0);

    // Two accepted writes and slave 2 leaves the line (NACKed ones do not count).
    SimEepromSetLatency(Slave(2), 0, 0);
    Slave(2)->eeprom.faults.vanish_after_writes = 2;
    Slave(2)->eeprom.faults.nack_first = 1;
    Command(2, 0x0201, 0x0100);
    Status(2);
    Command(2, 0x0201, 0x0100);
    EXPECT_EQ(segment->vanished_from, 0);
    Status(2);
    Command(2, 0x0201, 0x0101);
    EXPECT_EQ(segment->vanished_from, 2);

    // Dropping off as the first write command arrives: that write never happens.
    segment->vanished_from = 0;
    SimEepromSetLatency(Slave(3), 0, 0);
    Slave(3)->eeprom.faults.vanish_at_write = 1;
    uint16_t before = Slave(3)->eeprom.words[0x0100];
    Command(3, 0x0100, 0x0100);  // reads do not count
    Status(3);
    EXPECT_EQ(segment->vanished_from, 0);
    WriteData(3, 0xDEAD);
    Command(3, 0x0201, 0x0100);
    EXPECT_EQ(segment->vanished_from, 3);
    SimEepromSaveAll(segment);
    EXPECT_EQ(Slave(3)->eeprom.words[0x0100], before);
    EXPECT_EQ(Slave(3)->eeprom.counters.words_written, 0u);
}

TEST_F(SimEepromTest, EveryWriteCommandRefusedWhileReadsPass) {
    SimEeprom& e = Slave(1)->eeprom;
    SimEepromSetLatency(Slave(1), 0, 0);
    testing::internal::CaptureStderr();
    ASSERT_EQ(SimEepromParseOption(segment, "--eeprom-nack-writes", "1:all"), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(e.faults.nack_writes_all);
    EXPECT_FALSE(Slave(2)->eeprom.faults.nack_writes_all);
    const uint16_t before = e.words[4];
    for (int i = 0; i < 20; i++) {
        WriteData(1, static_cast<uint16_t>(0x1000 + i));
        Command(1, 0x0201, 4);
        EXPECT_EQ(Status(1), kEepromStatusNack) << "write " << i;
        Command(1, 0x0100, 4);
        EXPECT_EQ(Status(1), 0x0000) << "read after write " << i;
        EXPECT_EQ(Data(1) & 0xFFFF, before);
    }
    EXPECT_EQ(e.words[4], before);
    EXPECT_EQ(e.counters.words_written, 0u);
    EXPECT_EQ(e.counters.nacks, 20u);
    // Slave 2 is not selected: its writes go through.
    SimEepromSetLatency(Slave(2), 0, 0);
    WriteData(2, 0x0BB0);
    Command(2, 0x0201, 4);
    EXPECT_EQ(Status(2), 0x0000);
    EXPECT_EQ(Slave(2)->eeprom.words[4], 0x0BB0);

    testing::internal::CaptureStderr();
    EXPECT_EQ(SimEepromParseOption(segment, "--eeprom-nack-writes", "1:some"), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("SEL:all"), std::string::npos);
}

TEST_F(SimEepromTest, AVanishedSlaveComesBackWithTheLineBehindIt) {
    // Slave 2 of 3 drops off as its second write command arrives and is back 250 ms
    // later; slave 3, behind it, is gone and back with it.
    testing::internal::CaptureStderr();
    ASSERT_EQ(SimEepromParseOption(segment, "--vanish-at-write", "2:2"), 1);
    ASSERT_EQ(SimEepromParseOption(segment, "--come-back-after", "2:250"), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    SimEeprom& e = Slave(2)->eeprom;
    EXPECT_TRUE(e.faults.come_back);
    EXPECT_EQ(e.faults.come_back_after_ms, 250u);
    SimEepromSetLatency(Slave(2), 0, 0);
    WriteData(2, 0x1111);
    Command(2, 0x0201, 4);
    EXPECT_EQ(Status(2), 0x0000);
    WriteData(2, 0x2222);
    Command(2, 0x0201, 7);
    ASSERT_EQ(segment->vanished_from, 2);
    ASSERT_TRUE(e.off_line);
    const uint64_t gone = e.off_line_since_us;

    SimEepromComeBackAt(segment, gone + 249999);
    EXPECT_EQ(segment->vanished_from, 2);
    SimEepromComeBackAt(segment, gone + 250000);
    EXPECT_EQ(segment->vanished_from, 0);
    EXPECT_FALSE(e.off_line);
    // The write it dropped off at was never carried out; the interface is idle.
    EXPECT_EQ(e.words[4], 0x1111);
    EXPECT_NE(e.words[7], 0x2222);
    EXPECT_EQ(e.counters.words_written, 1u);
    EXPECT_EQ(Status(2), 0x0000);
    // The fault fired once: the write made again goes through and the slave stays.
    WriteData(2, 0x2222);
    Command(2, 0x0201, 7);
    EXPECT_EQ(segment->vanished_from, 0);
    EXPECT_EQ(Status(2), 0x0000);
    EXPECT_EQ(e.words[7], 0x2222);

    // --vanish-after-writes: the write cycle had begun, so that write is done when the
    // slave is back. Slave 3 behind it has no come-back of its own: once slave 2 returns,
    // the line is whole up to slave 3 only.
    SimEepromSetLatency(Slave(1), 0, 0);
    Slave(1)->eeprom.faults.vanish_after_writes = 1;
    Slave(1)->eeprom.faults.come_back = true;
    Slave(1)->eeprom.faults.come_back_after_ms = 0;
    Slave(3)->eeprom.faults.vanish_at_write = 1;
    WriteData(3, 0x3333);
    Command(3, 0x0201, 4);
    EXPECT_EQ(segment->vanished_from, 3);
    WriteData(1, 0x4444);
    Command(1, 0x0201, 4);
    EXPECT_EQ(segment->vanished_from, 1);
    SimEepromComeBackAt(segment, Slave(1)->eeprom.off_line_since_us);
    EXPECT_EQ(segment->vanished_from, 3);
    EXPECT_EQ(Status(1), 0x0000);
    EXPECT_EQ(Slave(1)->eeprom.words[4], 0x4444);
    EXPECT_NE(Slave(3)->eeprom.words[4], 0x3333);

    testing::internal::CaptureStderr();
    EXPECT_EQ(SimEepromParseOption(segment, "--come-back-after", "1:-5"), -1);
    EXPECT_EQ(SimEepromParseOption(segment, "--come-back-after", "1"), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr(), "");
}

TEST_F(SimEepromTest, AComeBackIsSeenByTheNextFrameOnTheWire) {
    SimWire wire;
    SimWireInit(&wire, segment, SimFaultSettings{});
    SimEepromSetLatency(Slave(1), 0, 0);
    Slave(1)->eeprom.faults.vanish_at_write = 1;
    Slave(1)->eeprom.faults.come_back = true;
    Slave(1)->eeprom.faults.come_back_after_ms = 0;
    // A broadcast read of the type register counts every slave that answers.
    uint8_t frame[64] = {0};
    memset(frame, 0xFF, 6);
    frame[12] = 0x88;
    frame[13] = 0xA4;
    SimPut16(frame + 14, 0x100C + 2);
    frame[16] = 7;  // BRD
    SimPut16(frame + 22, 2);
    uint8_t reply[1518];
    Command(1, 0x0201, 4);
    ASSERT_EQ(segment->vanished_from, 1);
    // Without the come-back the line would stay broken at slave 1 and nothing return.
    SimWireRequest(&wire, frame, 30);
    ASSERT_EQ(SimWireTake(&wire, reply), 30);
    EXPECT_EQ(SimGet16(reply + 28), 3);
    EXPECT_EQ(segment->vanished_from, 0);
}

TEST_F(SimEepromTest, ConfigurationIsVisibleAndPdiAccessIsReadOnly) {
    uint8_t offer = 0x01;
    ASSERT_TRUE(SimSlaveWrite(Slave(1), 0x0500, 1, &offer));
    EXPECT_EQ(Slave(1)->memory[0x0500], 0x01);  // the firmware layer reads it here
    uint8_t take = 0x01;
    ASSERT_TRUE(SimSlaveWrite(Slave(1), 0x0501, 1, &take));
    EXPECT_EQ(Slave(1)->memory[0x0501], 0x00);

    SimEepromPdiTakesAccess(Slave(1));
    EXPECT_EQ(Slave(1)->memory[0x0501], 0x01);
    Command(1, 0x0100, 0x0008);
    EXPECT_EQ(Slave(1)->eeprom.counters.commands, 0u);
    uint8_t force = 0x02;
    ASSERT_TRUE(SimSlaveWrite(Slave(1), 0x0500, 1, &force));
    EXPECT_EQ(Slave(1)->memory[0x0501], 0x00);
    Command(1, 0x0100, 0x0008);
    EXPECT_EQ(Slave(1)->eeprom.counters.commands, 1u);
}

TEST_F(SimEepromTest, ImageFilesAreCreatedLoadedAndWrittenThrough) {
    std::string dir = MakeFolder();
    std::string path = dir + "/one.bin";
    ASSERT_TRUE(SimEepromBindFile(Slave(1), path.c_str()));
    std::string bytes = ReadFile(path);
    ASSERT_EQ(bytes.size(), 4096u);
    EXPECT_EQ(memcmp(bytes.data(), Slave(1)->eeprom.words, 4096), 0);  // little-endian host

    // A write through the interface reaches the file at once.
    SimEepromSetLatency(Slave(1), 0, 0);
    WriteData(1, 0x1357);
    Command(1, 0x0201, 4);
    Status(1);
    bytes = ReadFile(path);
    EXPECT_EQ(static_cast<uint8_t>(bytes[8]), 0x57);
    EXPECT_EQ(static_cast<uint8_t>(bytes[9]), 0x13);

    // Another slave loads it; a short file is the start of the image, the rest erased.
    ASSERT_TRUE(SimEepromBindFile(Slave(2), path.c_str()));
    EXPECT_EQ(Slave(2)->eeprom.words[4], 0x1357);
    std::string short_path = dir + "/short.bin";
    FILE* file = fopen(short_path.c_str(), "wb");
    const uint8_t few[5] = {0x11, 0x22, 0x33, 0x44, 0x55};
    fwrite(few, 1, sizeof(few), file);
    fclose(file);
    ASSERT_TRUE(SimEepromBindFile(Slave(3), short_path.c_str()));
    EXPECT_EQ(Slave(3)->eeprom.words[0], 0x2211);
    EXPECT_EQ(Slave(3)->eeprom.words[2], 0xFF55);
    EXPECT_EQ(Slave(3)->eeprom.words[3], 0xFFFF);
    SimEepromSetWord(Slave(3), 3, 0x0102);  // grows the file as far as written
    EXPECT_EQ(ReadFile(short_path).size(), 8u);

    // A write still under way at exit is finished and saved.
    SimEepromSetLatency(Slave(1), 0, 1000000);
    WriteData(1, 0x2468);
    Command(1, 0x0201, 5);
    SimEepromSaveAll(segment);
    bytes = ReadFile(path);
    EXPECT_EQ(static_cast<uint8_t>(bytes[10]), 0x68);

    std::string missing_dir = dir + "/no/such/dir/x.bin";
    testing::internal::CaptureStderr();
    EXPECT_FALSE(SimEepromBindFile(Slave(1), missing_dir.c_str()));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("cannot"), std::string::npos);
}

TEST_F(SimEepromTest, HeaderPrintShowsWordsZeroToSeven) {
    std::string dir = MakeFolder();
    std::string path = dir + "/h.bin";
    SimEepromSetAlias(Slave(1), 0xBEEF);
    ASSERT_TRUE(SimEepromBindFile(Slave(1), path.c_str()));
    testing::internal::CaptureStdout();
    EXPECT_EQ(SimEepromPrintHeader(path.c_str()), 0);
    std::string out = testing::internal::GetCapturedStdout();
    char expected[64];
    const uint16_t* w = Slave(1)->eeprom.words;
    snprintf(expected, sizeof(expected), "%04x %04x %04x %04x beef %04x %04x %04x\n", w[0], w[1], w[2], w[3], w[5],
             w[6], w[7]);
    EXPECT_EQ(out, expected);
    testing::internal::CaptureStderr();
    EXPECT_EQ(SimEepromPrintHeader((dir + "/none.bin").c_str()), 1);
    EXPECT_NE(testing::internal::GetCapturedStderr(), "");
}

TEST_F(SimEepromTest, OptionsSelectSlavesAndCheckTheirValues) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(SimEepromParseOption(segment, "--drop", "0.1"), 0);
    EXPECT_EQ(SimEepromParseOption(segment, "--name", "2:Drive with: colon"), 1);
    EXPECT_EQ(SimEepromParseOption(segment, "identity", "2-3:0xAB:2:0x10"), 1);
    EXPECT_EQ(SimEepromParseOption(segment, "--eight-byte", "all"), 1);
    EXPECT_EQ(SimEepromParseOption(segment, "--mailbox-size", "3:0"), 1);
    EXPECT_EQ(SimEepromParseOption(segment, "--no-strings", "1"), 1);
    EXPECT_EQ(SimEepromParseOption(segment, "--eeprom-latency", "0:100"), 1);
    EXPECT_EQ(SimEepromParseOption(segment, "--eeprom-nack", "1:all"), 1);
    EXPECT_EQ(SimEepromParseOption(segment, "--eeprom-nack", "2:3"), 1);
    EXPECT_EQ(SimEepromParseOption(segment, "--eeprom-nack-writes", "3:4"), 1);
    EXPECT_EQ(SimEepromParseOption(segment, "--eeprom-busy-stuck", "3"), 1);
    EXPECT_EQ(SimEepromParseOption(segment, "--eeprom-no-answer", "2:0x0502"), 1);
    EXPECT_EQ(SimEepromParseOption(segment, "--vanish-after-writes", "1:2"), 1);
    EXPECT_EQ(SimEepromParseOption(segment, "--alias", "1:4660"), 1);
    EXPECT_EQ(SimEepromParseOption(segment, "--general", "1:1:2:3:4:2:-500"), 1);
    EXPECT_EQ(SimEepromParseOption(segment, "--sii-word", "3:7:0"), 1);
    EXPECT_EQ(SimEepromParseOption(segment, "--eeprom-bad-words", "2:0x43:8"), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    int strings = SiiFindCategory(Slave(2)->eeprom.words, kSiiCategoryStrings);
    EXPECT_EQ(Slave(2)->eeprom.words[strings + 2] >> 8, 17);  // "Drive with: colon"
    EXPECT_EQ(ImageLong(Slave(3)->eeprom, 0x08), 0xABu);
    EXPECT_EQ(ImageLong(Slave(2)->eeprom, 0x0A), 2u);
    EXPECT_EQ(ImageLong(Slave(1)->eeprom, 0x08), kSiiDefaultVendor);
    for (int n = 1; n <= 3; n++) EXPECT_TRUE(Slave(n)->eeprom.eight_byte_reads);
    EXPECT_EQ(Slave(3)->eeprom.words[0x19], 0);
    EXPECT_EQ(Slave(2)->eeprom.words[0x19], 128);
    EXPECT_LT(SiiFindCategory(Slave(1)->eeprom.words, kSiiCategoryStrings), 0);
    EXPECT_EQ(Slave(2)->eeprom.write_latency_us, 100u);
    EXPECT_TRUE(Slave(1)->eeprom.faults.nack_all);
    EXPECT_EQ(Slave(2)->eeprom.faults.nack_first, 3);
    EXPECT_TRUE(Slave(3)->eeprom.faults.busy_stuck);
    EXPECT_EQ(Slave(3)->eeprom.faults.nack_writes_first, 4);
    EXPECT_EQ(Slave(2)->eeprom.faults.no_answer_register, 0x0502);
    EXPECT_EQ(Slave(1)->eeprom.faults.vanish_after_writes, 2);
    EXPECT_EQ(Slave(2)->eeprom.faults.bad_words_first, 0x43);
    EXPECT_EQ(Slave(2)->eeprom.faults.bad_words_count, 8);
    EXPECT_EQ(Slave(1)->eeprom.segment, segment);
    // The slave powers on with the new header: alias register loaded.
    EXPECT_EQ(SimGet16(Slave(1)->memory + 0x0012), 4660);
    EXPECT_EQ(Status(3) & kEepromStatusChecksumError, kEepromStatusChecksumError);
    int general = SiiFindCategory(Slave(1)->eeprom.words, kSiiCategoryGeneral);
    EXPECT_EQ(static_cast<int16_t>(Slave(1)->eeprom.words[general + 2 + 6]), -500);

    const char* bad[][2] = {
        {"--name", "4:x"},           {"--name", "0:x"},         {"--name", "2-1:x"},  {"--name", "x"},
        {"--identity", "1:1:2"},     {"--identity", "1:a:b:c"}, {"--eight-byte", "1:2"},
        {"--mailbox-size", "1:-1"},  {"--eeprom-latency", "5"}, {"--eeprom-nack", "1:some"},
        {"--vanish-after-writes", "1:0"}, {"--alias", "1:65536"}, {"--sii-word", "1:2048:0"},
        {"--general", "1:1:2:3:4:256:0"}, {"--eeprom-dir", nullptr}, {"--eeprom-bad-words", "1:5:0"},
    };
    for (const auto& option : bad) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(SimEepromParseOption(segment, option[0], option[1]), -1) << option[0] << " " << option[1];
        EXPECT_NE(testing::internal::GetCapturedStderr(), "") << option[0];
    }
}

TEST_F(SimEepromTest, EepromFolderKeepsWritesAcrossARestart) {
    std::string dir = MakeFolder() + "/images";  // created by the option
    ASSERT_EQ(SimEepromParseOption(segment, "--eeprom-dir", dir.c_str()), 1);
    for (int n = 1; n <= 3; n++) {
        struct stat info {};
        EXPECT_EQ(stat((dir + "/slave-" + std::to_string(n) + ".bin").c_str(), &info), 0);
        EXPECT_EQ(info.st_size, 4096);
    }
    SimEepromSetLatency(Slave(1), 0, 0);
    WriteData(1, 0x0777);
    Command(1, 0x0201, 4);
    Status(1);
    SimEepromSaveAll(segment);
    SimSegmentDestroy(segment);

    segment = SimSegmentCreate(3);
    ASSERT_EQ(Slave(1)->eeprom.words[4], 0);
    ASSERT_EQ(SimEepromParseOption(segment, "--eeprom-dir", dir.c_str()), 1);
    EXPECT_EQ(Slave(1)->eeprom.words[4], 0x0777);
    // The checksum was not rewritten: the slave reports it.
    EXPECT_EQ(Status(1), kEepromStatusChecksumError);
}
