// The virtual segment's wire semantics, frame by frame, without the master: every
// command code, auto-increment, the working counter, datagram chains, malformed frames,
// and the fault injection of the wire.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "sim/segment.h"
#include "sim/wire.h"
#include "support_virtual_clock.h"

namespace {

struct Datagram {
    uint8_t command;
    uint16_t adp;
    uint16_t ado;
    std::vector<uint8_t> data;
    uint32_t logical = 0;  // used instead of adp/ado by the logical commands
    uint16_t flags = 0;    // bits 11-15 of the length word
};

// Builds one Ethernet frame holding the datagrams in a chain (more-follows on all but
// the last).
std::vector<uint8_t> BuildFrame(const std::vector<Datagram>& datagrams) {
    std::vector<uint8_t> f = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x88, 0xA4, 0, 0};
    for (size_t i = 0; i < datagrams.size(); i++) {
        const Datagram& d = datagrams[i];
        uint16_t length = static_cast<uint16_t>(d.data.size() | d.flags);
        if (i + 1 < datagrams.size()) length |= 0x8000;
        uint32_t address = (d.command >= 10 && d.command <= 12) ? d.logical
                                                                 : (static_cast<uint32_t>(d.ado) << 16 | d.adp);
        f.insert(f.end(), {d.command, static_cast<uint8_t>(i), static_cast<uint8_t>(address),
                           static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address >> 16),
                           static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(length),
                           static_cast<uint8_t>(length >> 8), 0, 0});
        f.insert(f.end(), d.data.begin(), d.data.end());
        f.insert(f.end(), {0, 0});
    }
    SimPut16(f.data() + 14, static_cast<uint16_t>(0x1000 | (f.size() - 16)));
    return f;
}

// Offset of datagram `n` in a frame built above.
size_t DatagramAt(const std::vector<uint8_t>& frame, int n) {
    size_t at = 16;
    for (int i = 0; i < n; i++) at += 12 + (SimGet16(frame.data() + at + 6) & 0x07FF);
    return at;
}
uint16_t Wkc(const std::vector<uint8_t>& frame, int n = 0) {
    size_t at = DatagramAt(frame, n);
    return SimGet16(frame.data() + at + 10 + (SimGet16(frame.data() + at + 6) & 0x07FF));
}
uint16_t Adp(const std::vector<uint8_t>& frame, int n = 0) { return SimGet16(frame.data() + DatagramAt(frame, n) + 2); }
const uint8_t* Data(const std::vector<uint8_t>& frame, int n = 0) { return frame.data() + DatagramAt(frame, n) + 10; }

}  // namespace

class SimSegmentTest : public ::testing::Test {
protected:
    SimSegment* segment = nullptr;

    void Create(int slaves) {
        segment = SimSegmentCreate(slaves);
        for (int i = 0; i < slaves; i++) SimPut16(Memory(i + 1) + 0x0010, static_cast<uint16_t>(0x1000 + i + 1));
    }
    void TearDown() override { SimSegmentDestroy(segment); }
    uint8_t* Memory(int position) { return segment->slaves[position - 1]->memory; }

    // Runs a frame through the line; false when it would not come back.
    bool Run(std::vector<uint8_t>& frame) {
        return SimProcessFrame(segment, frame.data(), static_cast<int>(frame.size()));
    }
};

TEST_F(SimSegmentTest, PositionAddressingCountsUpAndReachesOneSlave) {
    Create(3);
    Memory(2)[0x1800] = 0x22;
    std::vector<uint8_t> frame = BuildFrame({{1, 0xFFFF, 0x1800, {0}}});  // APRD, the second slave
    ASSERT_TRUE(Run(frame));
    EXPECT_EQ(Wkc(frame), 1);
    EXPECT_EQ(Data(frame)[0], 0x22);
    EXPECT_EQ(Adp(frame), 2);  // raised by each of the three slaves
    frame = BuildFrame({{2, 0xFFFE, 0x1800, {0x33}}});  // APWR, the third slave
    ASSERT_TRUE(Run(frame));
    EXPECT_EQ(Wkc(frame), 1);
    EXPECT_EQ(Memory(3)[0x1800], 0x33);
    EXPECT_EQ(Memory(1)[0x1800], 0);
    frame = BuildFrame({{1, 0xFFF0, 0x1800, {0}}});  // no slave at that position
    ASSERT_TRUE(Run(frame));
    EXPECT_EQ(Wkc(frame), 0);
    EXPECT_EQ(Adp(frame), 0xFFF3);
}

TEST_F(SimSegmentTest, ConfiguredAddressingMatchesStationOrEnabledAlias) {
    Create(3);
    Memory(3)[0x1800] = 0x77;
    std::vector<uint8_t> frame = BuildFrame({{4, 0x1003, 0x1800, {0}}});  // FPRD
    ASSERT_TRUE(Run(frame));
    EXPECT_EQ(Wkc(frame), 1);
    EXPECT_EQ(Data(frame)[0], 0x77);
    EXPECT_EQ(Adp(frame), 0x1003);  // not an auto-increment command
    frame = BuildFrame({{5, 0x1002, 0x1800, {0x55}}});  // FPWR
    ASSERT_TRUE(Run(frame));
    EXPECT_EQ(Wkc(frame), 1);
    EXPECT_EQ(Memory(2)[0x1800], 0x55);
    // A station alias answers only while DL control enables it.
    SimPut16(Memory(1) + 0x0012, 0x0BAD);
    frame = BuildFrame({{4, 0x0BAD, 0x1800, {0}}});
    ASSERT_TRUE(Run(frame));
    EXPECT_EQ(Wkc(frame), 0);
    Memory(1)[0x0103] = 0x01;
    frame = BuildFrame({{4, 0x0BAD, 0x1800, {0}}});
    ASSERT_TRUE(Run(frame));
    EXPECT_EQ(Wkc(frame), 1);
}

TEST_F(SimSegmentTest, BroadcastsReachEverySlaveAndReadsAreOred) {
    Create(3);
    Memory(1)[0x1800] = 0x01;
    Memory(2)[0x1800] = 0x10;
    Memory(3)[0x1801] = 0x80;
    std::vector<uint8_t> frame = BuildFrame({{7, 0, 0x1800, {0, 0}}});  // BRD
    ASSERT_TRUE(Run(frame));
    EXPECT_EQ(Wkc(frame), 3);
    EXPECT_EQ(Data(frame)[0], 0x11);
    EXPECT_EQ(Data(frame)[1], 0x80);
    EXPECT_EQ(Adp(frame), 0);  // broadcasts do not count positions here
    frame = BuildFrame({{8, 0, 0x1900, {0xAB, 0xCD}}});  // BWR
    ASSERT_TRUE(Run(frame));
    EXPECT_EQ(Wkc(frame), 3);
    for (int p = 1; p <= 3; p++) EXPECT_EQ(SimGet16(Memory(p) + 0x1900), 0xCDAB);
    // The counting read of register 0 answers with the number of slaves.
    frame = BuildFrame({{7, 0, 0x0000, {0, 0}}});
    ASSERT_TRUE(Run(frame));
    EXPECT_EQ(Wkc(frame), 3);
    EXPECT_EQ(Data(frame)[0], 0x11);  // the ESC type of every slave, ORed
}

TEST_F(SimSegmentTest, ReadWriteCommandsReturnOldContentAndCountThree) {
    Create(2);
    Memory(1)[0x1800] = 0x0F;
    Memory(2)[0x1800] = 0xF0;
    std::vector<uint8_t> frame = BuildFrame({{3, 0x0000, 0x1800, {0x5A}}});  // APRW, first slave
    ASSERT_TRUE(Run(frame));
    EXPECT_EQ(Wkc(frame), 3);
    EXPECT_EQ(Data(frame)[0], 0x0F);
    EXPECT_EQ(Memory(1)[0x1800], 0x5A);
    EXPECT_EQ(Memory(2)[0x1800], 0xF0);
    frame = BuildFrame({{6, 0x1002, 0x1800, {0xA5}}});  // FPRW
    ASSERT_TRUE(Run(frame));
    EXPECT_EQ(Wkc(frame), 3);
    EXPECT_EQ(Data(frame)[0], 0xF0);
    EXPECT_EQ(Memory(2)[0x1800], 0xA5);
    // BRW: each slave writes the data as it reaches it and ORs its old content in, so
    // the second slave stores what the first one passed on.
    frame = BuildFrame({{9, 0, 0x1800, {0x01}}});
    ASSERT_TRUE(Run(frame));
    EXPECT_EQ(Wkc(frame), 6);
    EXPECT_EQ(Data(frame)[0], 0x5A | 0xA5 | 0x01);
    EXPECT_EQ(Memory(1)[0x1800], 0x01);
    EXPECT_EQ(Memory(2)[0x1800], 0x5A | 0x01);
}

TEST_F(SimSegmentTest, ReadMultipleWriteSpreadsTheAddressedSlavesValue) {
    Create(3);
    SimPut16(Memory(2) + 0x0910, 0x1234);  // the reference clock's time, say
    // ARMW addressed to the second slave: it reads, every other slave writes.
    std::vector<uint8_t> frame = BuildFrame({{13, 0xFFFF, 0x0910, {0, 0}}});
    ASSERT_TRUE(Run(frame));
    EXPECT_EQ(Wkc(frame), 3);
    EXPECT_EQ(Adp(frame), 2);  // auto-increment
    EXPECT_EQ(SimGet16(Memory(1) + 0x0910), 0);  // before the reader: the frame still held 0
    EXPECT_EQ(SimGet16(Memory(3) + 0x0910), 0x1234);
    EXPECT_EQ(SimGet16(Data(frame)), 0x1234);
    // FRMW addressed to the first slave by station address.
    SimPut16(Memory(1) + 0x0910, 0x4321);
    frame = BuildFrame({{14, 0x1001, 0x0910, {0, 0}}});
    ASSERT_TRUE(Run(frame));
    EXPECT_EQ(Wkc(frame), 3);
    EXPECT_EQ(Adp(frame), 0x1001);
    EXPECT_EQ(SimGet16(Memory(2) + 0x0910), 0x4321);
    EXPECT_EQ(SimGet16(Memory(3) + 0x0910), 0x4321);
}

TEST_F(SimSegmentTest, LogicalCommandsGoThroughActivatedFmmus) {
    Create(2);
    auto map = [&](int position, int fmmu, uint32_t logical, uint16_t span, uint16_t physical, uint8_t type) {
        uint8_t* f = Memory(position) + 0x0600 + 16 * fmmu;
        SimPut32(f, logical);
        SimPut16(f + 4, span);
        SimPut16(f + 8, physical);
        f[11] = type;
        f[12] = 1;
    };
    map(1, 0, 0x00010000, 2, 0x1A00, 1);  // slave 1 inputs at logical 0x10000
    map(2, 0, 0x00010002, 2, 0x1100, 2);  // slave 2 outputs at logical 0x10002
    Memory(1)[0x1A00] = 0xC1;
    Memory(1)[0x1A01] = 0xC2;
    std::vector<uint8_t> frame = BuildFrame({{10, 0, 0, {0, 0, 0, 0}, 0x00010000}});  // LRD
    ASSERT_TRUE(Run(frame));
    EXPECT_EQ(Wkc(frame), 1);
    EXPECT_EQ(Data(frame)[0], 0xC1);
    EXPECT_EQ(Data(frame)[1], 0xC2);
    frame = BuildFrame({{11, 0, 0, {9, 9, 0xD1, 0xD2}, 0x00010000}});  // LWR
    ASSERT_TRUE(Run(frame));
    EXPECT_EQ(Wkc(frame), 1);
    EXPECT_EQ(Memory(2)[0x1100], 0xD1);
    EXPECT_EQ(Memory(1)[0x1A00], 0xC1);  // inputs are not written
    frame = BuildFrame({{12, 0, 0, {0, 0, 0xE1, 0xE2}, 0x00010000}});  // LRW: read 1 + write 2
    ASSERT_TRUE(Run(frame));
    EXPECT_EQ(Wkc(frame), 3);
    EXPECT_EQ(Data(frame)[0], 0xC1);
    EXPECT_EQ(Memory(2)[0x1101], 0xE2);
    frame = BuildFrame({{10, 0, 0, {0, 0}, 0x00020000}});  // nothing mapped there
    ASSERT_TRUE(Run(frame));
    EXPECT_EQ(Wkc(frame), 0);
    // A mapping that reads and writes the same byte stores the master's byte as it came,
    // not the byte with the slave's own bits ORed in.
    map(1, 1, 0x00030000, 1, 0x1B00, 3);
    Memory(1)[0x1B00] = 0x0F;
    frame = BuildFrame({{12, 0, 0, {0xA0}, 0x00030000}});
    ASSERT_TRUE(Run(frame));
    EXPECT_EQ(Wkc(frame), 3);
    EXPECT_EQ(Memory(1)[0x1B00], 0xA0);
    EXPECT_EQ(Data(frame)[0], 0xAF);
    // A deactivated FMMU maps nothing.
    Memory(1)[0x0600 + 12] = 0;
    frame = BuildFrame({{10, 0, 0, {0, 0}, 0x00010000}});
    ASSERT_TRUE(Run(frame));
    EXPECT_EQ(Wkc(frame), 0);
}

TEST_F(SimSegmentTest, NopReservedCodesAndReadOnlyRegistersChangeNothing) {
    Create(2);
    for (uint8_t command : {0, 15, 0x7F, 0xFF}) {
        std::vector<uint8_t> frame = BuildFrame({{command, 0, 0x1800, {0x66}}});
        ASSERT_TRUE(Run(frame));
        EXPECT_EQ(Wkc(frame), 0) << int(command);
        EXPECT_EQ(Adp(frame), 0) << int(command);
        EXPECT_EQ(Memory(1)[0x1800], 0) << int(command);
    }
    // Type and DL status cannot be written from the wire; the write is still counted.
    std::vector<uint8_t> frame = BuildFrame({{8, 0, 0x0000, {0xEE, 0xEE}}});
    ASSERT_TRUE(Run(frame));
    EXPECT_EQ(Wkc(frame), 2);
    EXPECT_EQ(Memory(1)[0x0000], 0x11);
    uint16_t dl_status = SimGet16(Memory(2) + 0x0110);
    frame = BuildFrame({{5, 0x1002, 0x0110, {0, 0}}});
    ASSERT_TRUE(Run(frame));
    EXPECT_EQ(SimGet16(Memory(2) + 0x0110), dl_status);
}

TEST_F(SimSegmentTest, ChainedDatagramsAreAllExecutedByEverySlave) {
    Create(3);
    Memory(3)[0x1800] = 0x30;
    std::vector<uint8_t> frame = BuildFrame({
        {7, 0, 0x0000, {0, 0}},      // BRD: 3
        {1, 0xFFFE, 0x1800, {0}},    // APRD third slave
        {5, 0x1001, 0x1900, {0x42}}, // FPWR first slave
        {8, 0, 0x1A00, {0x99}},      // BWR: 3
    });
    ASSERT_TRUE(Run(frame));
    EXPECT_EQ(Wkc(frame, 0), 3);
    EXPECT_EQ(Wkc(frame, 1), 1);
    EXPECT_EQ(Data(frame, 1)[0], 0x30);
    EXPECT_EQ(Adp(frame, 1), 1);
    EXPECT_EQ(Wkc(frame, 2), 1);
    EXPECT_EQ(Memory(1)[0x1900], 0x42);
    EXPECT_EQ(Wkc(frame, 3), 3);
    EXPECT_EQ(segment->datagrams_processed, 4u);
    // Without more-follows on the first datagram, the second is not looked at.
    frame = BuildFrame({{7, 0, 0x0000, {0, 0}}, {8, 0, 0x1B00, {0x01}}});
    frame[16 + 7] &= 0x7F;
    ASSERT_TRUE(Run(frame));
    EXPECT_EQ(Wkc(frame, 0), 3);
    EXPECT_EQ(Wkc(frame, 1), 0);
    EXPECT_EQ(Memory(1)[0x1B00], 0);
    // The circulating bit and the reserved bits do not change the data length.
    frame = BuildFrame({{7, 0, 0x0000, {0, 0}, 0, 0x4000 | 0x3800}});
    ASSERT_TRUE(Run(frame));
    EXPECT_EQ(SimGet16(frame.data() + 16 + 10 + 2), 3);
}

TEST_F(SimSegmentTest, ReturnedFramesCarryTheSlaveBitAndOthersAreSwallowed) {
    Create(2);
    std::vector<uint8_t> frame = BuildFrame({{7, 0, 0x0000, {0, 0}}});
    ASSERT_TRUE(Run(frame));
    EXPECT_EQ(frame[6], 0x03);  // bit 1 of the first source byte
    for (int i = 7; i < 12; i++) EXPECT_EQ(frame[i], 0x01);
    for (int i = 0; i < 6; i++) EXPECT_EQ(frame[i], 0xFF);
    std::vector<uint8_t> other = frame;
    other[12] = 0x08;
    other[13] = 0x00;
    EXPECT_FALSE(Run(other));  // another protocol
    other = frame;
    other[15] = static_cast<uint8_t>((other[15] & 0x0F) | 0x40);  // EtherCAT type 4: not a command frame
    EXPECT_FALSE(Run(other));
    // A line broken behind the first slave: one answers. Broken at the first: nothing returns.
    segment->vanished_from = 2;
    frame = BuildFrame({{7, 0, 0x0000, {0, 0}}});
    ASSERT_TRUE(Run(frame));
    EXPECT_EQ(Wkc(frame), 1);
    segment->vanished_from = 1;
    frame = BuildFrame({{7, 0, 0x0000, {0, 0}}});
    EXPECT_FALSE(Run(frame));
}

TEST_F(SimSegmentTest, MalformedFramesAreNeverReadOrWrittenOutOfBounds) {
    Create(2);
    // Lengths that claim more than the frame holds, at every level. Each frame lives in
    // a buffer of exactly its size, so a sanitizer build sees any stray access.
    std::vector<uint8_t> good = BuildFrame({{8, 0, 0x1800, {1, 2, 3, 4}}, {7, 0, 0x0000, {0, 0}}});
    for (size_t cut = 0; cut <= good.size(); cut++) {
        std::vector<uint8_t> frame(good.begin(), good.begin() + static_cast<long>(cut));
        Run(frame);
    }
    std::vector<uint8_t> frame = good;
    SimPut16(frame.data() + 14, 0x17FF);  // frame header: 2047 bytes
    EXPECT_TRUE(Run(frame));
    frame = good;
    SimPut16(frame.data() + 16 + 6, 0x87FF);  // first datagram: 2047 bytes, more follows
    EXPECT_TRUE(Run(frame));
    frame = good;
    SimPut16(frame.data() + 16 + 16 + 6, 0x07FF);  // second datagram: 2047 bytes
    EXPECT_TRUE(Run(frame));
    EXPECT_EQ(SimGet16(frame.data() + 16 + 14), 2);  // the first one still ran
    // Random bytes behind a valid EtherCAT type: nothing may crash or stray.
    std::mt19937 random(1234);
    for (int round = 0; round < 20000; round++) {
        size_t length = random() % 120;
        std::vector<uint8_t> noise(length);
        for (uint8_t& b : noise) b = static_cast<uint8_t>(random());
        if (length >= 16) {
            noise[12] = 0x88;
            noise[13] = 0xA4;
            noise[15] = static_cast<uint8_t>(0x10 | (noise[15] & 0x07));
        }
        Run(noise);
    }
}

// The line as its definition states it: the frame passes slave 1, then slave 2, ...,
// each slave executing every datagram of the chain in order. The segment walks the line
// datagram by datagram, visiting only the slaves a datagram can address; on every frame
// it must give what this walk gives.
bool ReferenceWalk(SimSegment* line, std::vector<uint8_t>& frame) {
    const int length = static_cast<int>(frame.size());
    if (length < 28 || frame[12] != 0x88 || frame[13] != 0xA4) return false;
    const uint16_t header = SimGet16(frame.data() + 14);
    if ((header >> 12) != 1) return false;
    int end = 16 + (header & 0x07FF);
    if (end > length) end = length;
    for (SimSlave* slave : line->slaves) {
        int at = 16;
        for (;;) {
            if (at + 12 > end) break;
            const uint16_t data_length = SimGet16(frame.data() + at + 6) & 0x07FF;
            if (at + 12 + data_length > end) break;
            const bool more = (SimGet16(frame.data() + at + 6) & 0x8000) != 0;
            SimSlaveExecute(slave, frame.data() + at, data_length);
            at += 12 + data_length;
            if (!more) break;
        }
    }
    frame[6] |= 0x02;
    return true;
}

// Two identical lines: slave n has station 0x1000 + n, some have an alias (enabled on
// a few), and every slave maps logical 0x10000 + 2n (4 bytes, overlapping its
// neighbour's) to its process memory for reading and writing.
SimSegment* LineForComparison(int slaves) {
    SimSegment* line = SimSegmentCreate(slaves);
    for (int n = 1; n <= slaves; n++) {
        uint8_t* m = line->slaves[static_cast<size_t>(n - 1)]->memory;
        SimPut16(m + 0x0010, static_cast<uint16_t>(0x1000 + n));
        if (n % 5 == 0) SimPut16(m + 0x0012, static_cast<uint16_t>(0x2000 + n / 5));
        if (n % 10 == 0) m[0x0103] = 0x01;
        uint8_t* fmmu = m + 0x0600;
        SimPut32(fmmu, 0x10000u + 2u * static_cast<uint32_t>(n));
        SimPut16(fmmu + 4, 4);
        SimPut16(fmmu + 8, 0x1000);
        fmmu[11] = 3;
        fmmu[12] = 1;
        for (int b = 0; b < 64; b++) m[0x1000 + b] = static_cast<uint8_t>(n * 7 + b);
    }
    return line;
}

// A random frame of mixed datagrams aimed at the slaves of a line of `slaves`: position
// and configured addresses (some of no slave, aliases, addresses that datagrams earlier
// in the frame may give to a slave), broadcasts, logical and read-multiple-write
// commands, on process memory, the station address, DL control, AL control, the EEPROM
// interface and the FMMUs.
std::vector<Datagram> RandomDatagrams(std::mt19937& random, int slaves) {
    static const uint8_t kCommands[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0};
    static const uint16_t kRegisters[] = {0x1000, 0x1002, 0x0010, 0x0012, 0x0100, 0x0120,
                                          0x0130, 0x0502, 0x0504, 0x0508, 0x0600, 0x0800};
    std::vector<Datagram> list(1 + random() % 40);
    for (Datagram& d : list) {
        d.command = kCommands[random() % sizeof kCommands];
        d.ado = kRegisters[random() % (sizeof kRegisters / sizeof kRegisters[0])];
        if (d.command >= 1 && d.command <= 3) {
            d.adp = static_cast<uint16_t>(0u - random() % static_cast<unsigned>(slaves + 3));
        } else {
            switch (random() % 4) {
                case 0: d.adp = static_cast<uint16_t>(0x2000 + random() % (slaves / 5 + 2)); break;  // aliases
                case 1: d.adp = static_cast<uint16_t>(0x3000 + random() % 4); break;  // given in the frame
                default: d.adp = static_cast<uint16_t>(0x1000 + random() % static_cast<unsigned>(slaves + 3));
            }
        }
        d.logical = 0x10000u + static_cast<uint32_t>(random() % static_cast<unsigned>(2 * slaves + 8));
        size_t bytes = 1 + random() % 6;
        if (d.ado == 0x0010 && d.command != 7 && d.command != 10) {
            // A new station address: one of a few, so that later datagrams find it (and
            // two slaves may end up with the same).
            const uint16_t station = static_cast<uint16_t>(0x3000 + random() % 4);
            d.data = {static_cast<uint8_t>(station), static_cast<uint8_t>(station >> 8)};
            continue;
        }
        if (d.ado == 0x0502) bytes = 6;  // an EEPROM command with its address
        d.data.resize(bytes);
        for (uint8_t& b : d.data) b = static_cast<uint8_t>(random());
        if (d.ado == 0x0502) {
            d.data[1] = static_cast<uint8_t>(random() % 2 ? 0x01 : 0x00);  // a read, or no command
            d.data[2] = static_cast<uint8_t>(random() % 64);
            d.data[3] = d.data[4] = d.data[5] = 0;
        }
    }
    return list;
}

TEST(SimLineWalk, EveryFrameGivesWhatTheSlaveBySlaveWalkGives) {
    VirtualClock clock(0);  // both lines see the same times
    for (int slaves : {1, 7, 40, 199}) {
        SimSegment* walked = LineForComparison(slaves);
        SimSegment* reference = LineForComparison(slaves);
        std::mt19937 random(static_cast<unsigned>(slaves));
        const int frames = slaves == 199 ? 150 : 400;
        for (int f = 0; f < frames; f++) {
            std::vector<uint8_t> frame = BuildFrame(RandomDatagrams(random, slaves));
            std::vector<uint8_t> expected = frame;
            ASSERT_EQ(SimProcessFrame(walked, frame.data(), static_cast<int>(frame.size())),
                      ReferenceWalk(reference, expected));
            ASSERT_EQ(frame, expected) << slaves << " slaves, frame " << f;
            clock.Advance(100);  // EEPROM commands of earlier frames finish on the way
        }
        for (int n = 0; n < slaves; n++)
            ASSERT_EQ(memcmp(walked->slaves[static_cast<size_t>(n)]->memory,
                             reference->slaves[static_cast<size_t>(n)]->memory, kSimMemoryBytes),
                      0)
                << "slave " << n + 1 << " of " << slaves;
        SimSegmentDestroy(walked);
        SimSegmentDestroy(reference);
    }
}

TEST(SimLineWalk, AddressesFollowEveryWriteAndADatagramVisitsOnlyItsSlaves) {
    SimSegment* line = LineForComparison(199);
    // Auto-increment across the whole line: the 151st slave, the address raised by all 199.
    std::vector<uint8_t> frame = BuildFrame({{1, static_cast<uint16_t>(0u - 150u), 0x0010, {0, 0}},
                                             {1, 5, 0x0010, {0, 0}}});  // no slave at +5
    ASSERT_TRUE(SimProcessFrame(line, frame.data(), static_cast<int>(frame.size())));
    EXPECT_EQ(Wkc(frame, 0), 1);
    EXPECT_EQ(SimGet16(Data(frame, 0)), 0x1000 + 151);
    EXPECT_EQ(Adp(frame, 0), static_cast<uint16_t>(199 - 150));
    EXPECT_EQ(Wkc(frame, 1), 0);
    EXPECT_EQ(Adp(frame, 1), 5 + 199);
    // A station address given in a frame answers later datagrams of the same frame, and
    // the old one no longer does.
    frame = BuildFrame({{2, static_cast<uint16_t>(0u - 4u), 0x0010, {0x45, 0x23}},  // slave 5: 0x2345
                        {4, 0x2345, 0x1000, {0}},
                        {4, 0x1005, 0x1000, {0}}});
    ASSERT_TRUE(SimProcessFrame(line, frame.data(), static_cast<int>(frame.size())));
    EXPECT_EQ(Wkc(frame, 1), 1);
    EXPECT_EQ(Data(frame, 1)[0], static_cast<uint8_t>(5 * 7));
    EXPECT_EQ(Wkc(frame, 2), 0);
    // Two slaves with one address both answer (a fault the master must be able to see),
    // also when the second got it by a write between frames that no datagram made.
    SimPut16(line->slaves[9]->memory + 0x0010, 0x2345);
    frame = BuildFrame({{5, 0x2345, 0x1800, {0x5A}}});
    ASSERT_TRUE(SimProcessFrame(line, frame.data(), static_cast<int>(frame.size())));
    EXPECT_EQ(Wkc(frame), 2);
    EXPECT_EQ(line->slaves[4]->memory[0x1800], 0x5A);
    EXPECT_EQ(line->slaves[9]->memory[0x1800], 0x5A);
    // An enabled alias answers; a disabled one does not.
    frame = BuildFrame({{4, 0x2002, 0x1000, {0}}, {4, 0x2001, 0x1000, {0}}});  // slaves 10 and 5
    ASSERT_TRUE(SimProcessFrame(line, frame.data(), static_cast<int>(frame.size())));
    EXPECT_EQ(Wkc(frame, 0), 1);
    EXPECT_EQ(Wkc(frame, 1), 0);
    // The cost of a frame: one slave visit per configured or position-addressed
    // datagram, however long the line; a broadcast visits every slave.
    std::vector<Datagram> reads;
    for (int n = 1; n <= 100; n++) reads.push_back({4, static_cast<uint16_t>(0x1000 + 99 + n), 0x0130, {0, 0}});  // slaves 100-199
    reads.push_back({1, static_cast<uint16_t>(0u - 7u), 0x0130, {0, 0}});
    frame = BuildFrame(reads);
    const uint64_t visits = line->slave_visits;
    ASSERT_TRUE(SimProcessFrame(line, frame.data(), static_cast<int>(frame.size())));
    EXPECT_EQ(line->slave_visits - visits, 101u);
    for (int n = 0; n <= 100; n++) EXPECT_EQ(Wkc(frame, n), 1) << n;
    frame = BuildFrame({{7, 0, 0x0000, {0, 0}}});
    ASSERT_TRUE(SimProcessFrame(line, frame.data(), static_cast<int>(frame.size())));
    EXPECT_EQ(Wkc(frame), 199);
    EXPECT_EQ(line->slave_visits - visits, 101u + 199u);
    SimSegmentDestroy(line);
}

TEST(SimWire, LossDuplicatesAndLateRepliesFollowTheSettings) {
    SimSegment* segment = SimSegmentCreate(1);
    std::vector<uint8_t> request = BuildFrame({{7, 0, 0x0000, {0, 0}}});
    uint8_t out[kSimFrameBytes];
    static SimWire wire;

    SimFaultSettings lossy{};
    lossy.drop = 0.25;
    lossy.seed = 99;
    SimWireInit(&wire, segment, lossy);
    int answered = 0;
    for (int i = 0; i < 4000; i++) {
        SimWireRequest(&wire, request.data(), static_cast<int>(request.size()));
        while (SimWireTake(&wire, out) > 0) answered++;
    }
    EXPECT_NEAR(answered, 3000, 150);
    EXPECT_EQ(wire.dropped, 4000u - static_cast<uint64_t>(answered));
    // Half of the losses hit the reply: those requests were executed by the slaves.
    EXPECT_GT(segment->frames_processed, static_cast<uint64_t>(answered) + 300);

    SimFaultSettings twice{};
    twice.duplicate = 1.0;
    SimWireInit(&wire, segment, twice);
    SimWireRequest(&wire, request.data(), static_cast<int>(request.size()));
    EXPECT_GT(SimWireTake(&wire, out), 0);
    EXPECT_GT(SimWireTake(&wire, out), 0);
    EXPECT_EQ(SimWireTake(&wire, out), 0);

    SimFaultSettings late{};
    late.late = 1.0;
    late.late_us = 30000;
    SimWireInit(&wire, segment, late);
    SimWireRequest(&wire, request.data(), static_cast<int>(request.size()));
    uint8_t early[60] = {0};
    early[17] = 0x42;
    SimWireInject(&wire, early, 60, 0);  // queued after the late reply, delivered before it
    EXPECT_EQ(SimWireTake(&wire, out), 60);
    EXPECT_EQ(out[17], 0x42);
    EXPECT_EQ(SimWireTake(&wire, out), 0);  // not due yet
    uint64_t start = SimNowMicros();
    int length = 0;
    while ((length = SimWireTake(&wire, out)) == 0 && SimNowMicros() - start < 5000000) {
    }
    EXPECT_EQ(length, static_cast<int>(request.size()));
    EXPECT_GE(SimNowMicros() - start, 20000u);

    // Seeded: the same settings give the same fate to the same sequence of frames.
    SimFaultSettings seeded{};
    seeded.drop = 0.5;
    seeded.foreign_rate = 0.3;
    seeded.seed = 5;
    std::vector<int> first, second;
    for (std::vector<int>* run : {&first, &second}) {
        SimWireInit(&wire, segment, seeded);
        for (int i = 0; i < 200; i++) {
            SimWireRequest(&wire, request.data(), static_cast<int>(request.size()));
            int n = 0;
            while (SimWireTake(&wire, out) > 0) n++;
            run->push_back(n);
        }
    }
    EXPECT_EQ(first, second);
    SimSegmentDestroy(segment);
}

TEST(SimWire, FullQueueLosesTheOldestFrame) {
    SimSegment* segment = SimSegmentCreate(1);
    static SimWire wire;
    SimWireInit(&wire, segment, SimFaultSettings{});
    uint8_t frame[60] = {0};
    for (int i = 0; i < kSimWireQueue + 5; i++) {
        frame[17] = static_cast<uint8_t>(i);
        SimWireInject(&wire, frame, 60, 0);
    }
    EXPECT_EQ(wire.count, kSimWireQueue);
    uint8_t out[kSimFrameBytes];
    ASSERT_EQ(SimWireTake(&wire, out), 60);
    EXPECT_EQ(out[17], 5);  // 0..4 were pushed out
    std::vector<uint8_t> oversize(kSimFrameBytes + 10, 0);
    SimWireRequest(&wire, oversize.data(), static_cast<int>(oversize.size()));  // ignored, not cut
    EXPECT_EQ(wire.count, kSimWireQueue - 1);
    SimSegmentDestroy(segment);
}

// With wire timing a reply is due after its frame's serialisation at 100 Mbit/s (at
// least 84 byte times) and the forwarding delay of every slave; frames take the line one
// after another.
TEST(SimWire, WireTimingDelaysRepliesByTheLineAndTheSlaves) {
    VirtualClock clock(0);  // time moves only when the test says so
    SimSegment* segment = SimSegmentCreate(3);
    static SimWire wire;
    SimFaultSettings faults{};
    faults.wire_timing = true;
    faults.forward_ns = 1000;
    SimWireInit(&wire, segment, faults);
    EXPECT_EQ(SimWireFrameNs(60, 3, 1000), 84u * 80u + 3000u) << "a short frame counts 84 byte times";
    EXPECT_EQ(SimWireFrameNs(1000, 0, 1000), 1024u * 80u);

    std::vector<uint8_t> small(60, 0), large(1000, 0);
    for (std::vector<uint8_t>* f : {&small, &large}) {
        (*f)[12] = 0x88;
        (*f)[13] = 0xA4;
        SimPut16(f->data() + 14, static_cast<uint16_t>(0x1000 | (f->size() - 16 - 12)));
        (*f)[16] = 7;  // BRD of the type register
    }
    uint8_t out[kSimFrameBytes];
    SimWireRequest(&wire, small.data(), 60);
    clock.Advance(9);
    EXPECT_EQ(SimWireTake(&wire, out), 0) << "due after 9.72 us";
    clock.Advance(1);
    EXPECT_EQ(SimWireTake(&wire, out), 60);

    // Two frames sent at once: the second waits for the line.
    SimWireRequest(&wire, large.data(), 1000);
    SimWireRequest(&wire, small.data(), 60);
    clock.Advance(84);  // the large frame: 81.92 us on the line + 3 us through the slaves
    EXPECT_EQ(SimWireTake(&wire, out), 0);
    clock.Advance(1);
    EXPECT_EQ(SimWireTake(&wire, out), 1000);
    clock.Advance(6);  // the small one started at 81.92 us: back at 91.64 us
    EXPECT_EQ(SimWireTake(&wire, out), 0);
    clock.Advance(1);
    EXPECT_EQ(SimWireTake(&wire, out), 60);

    // A line broken behind the first slave: the frame passes one slave, not three.
    clock.Advance(100);
    segment->vanished_from = 2;
    SimWireRequest(&wire, small.data(), 60);
    clock.Advance(7);
    EXPECT_EQ(SimWireTake(&wire, out), 0) << "due after 7.72 us";
    clock.Advance(1);
    EXPECT_EQ(SimWireTake(&wire, out), 60);
    segment->vanished_from = 0;

    // Without the option nothing waits.
    SimWireInit(&wire, segment, SimFaultSettings{});
    SimWireRequest(&wire, small.data(), 60);
    EXPECT_EQ(SimWireTake(&wire, out), 60);
    SimSegmentDestroy(segment);
}
