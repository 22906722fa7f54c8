// The wire definitions master and simulator share: byte order, datagram layout, command
// properties, SII checksum and size word.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "sim/segment.h"
#include "wire/byte_order.h"
#include "wire/frame_layout.h"
#include "wire/sii_crc.h"
#include "wire/sii_layout.h"

TEST(WireByteOrder, FieldsAreLittleEndianAtAnyOffset) {
    uint8_t bytes[12];
    for (int offset = 0; offset < 3; offset++) {
        memset(bytes, 0xEE, sizeof(bytes));
        WireStore64(bytes + offset, 0x0102030405060708ULL);
        for (int i = 0; i < 8; i++) EXPECT_EQ(bytes[offset + i], 8 - i) << "offset " << offset << " byte " << i;
        EXPECT_EQ(bytes[offset + 8], 0xEE) << "a 64-bit store wrote past its 8 bytes";
        EXPECT_EQ(WireLoad64(bytes + offset), 0x0102030405060708ULL);
        EXPECT_EQ(WireLoad32(bytes + offset), 0x05060708u);
        EXPECT_EQ(WireLoad16(bytes + offset + 6), 0x0102);
    }
    WireStore32(bytes, 0xA1B2C3D4u);
    WireStore16(bytes + 4, 0xFFFE);
    EXPECT_EQ(bytes[0], 0xD4);
    EXPECT_EQ(bytes[3], 0xA1);
    EXPECT_EQ(WireLoad16(bytes + 4), 0xFFFE);  // no sign extension through int promotion
    EXPECT_EQ(WireLoad32(bytes + 2), 0xFFFEA1B2u);
}

TEST(WireDatagram, HeaderFieldsSitWhereBothSidesReadThem) {
    uint8_t datagram[kDatagramHeaderBytes + 4 + kWorkingCounterBytes];
    memset(datagram, 0xCC, sizeof(datagram));
    DatagramLayHeader(datagram, CMD_FPWR, 0x5A, 0x1001, 0x0502, 4, true);
    const uint8_t expected[kDatagramHeaderBytes] = {CMD_FPWR, 0x5A, 0x01, 0x10, 0x02, 0x05, 0x04, 0x80, 0x00, 0x00};
    EXPECT_EQ(memcmp(datagram, expected, sizeof(expected)), 0);
    EXPECT_EQ(DatagramDataLength(datagram), 4);
    EXPECT_TRUE(DatagramMoreFollows(datagram));
    EXPECT_EQ(datagram[kDatagramDataAt], 0xCC) << "laying the header touched the data";

    // The length field keeps 11 bits: bits above never leak into "more follows".
    DatagramLayHeader(datagram, CMD_BRD, 0, 0, 0, 0xFFFF, false);
    EXPECT_EQ(DatagramDataLength(datagram), kEtherCatLengthMask);
    EXPECT_FALSE(DatagramMoreFollows(datagram));

    EXPECT_EQ(DatagramBytes(0), 12);
    EXPECT_EQ(DatagramBytes(kMaxDatagramData), 1498);
    EXPECT_EQ(EtherCatHeaderWord(static_cast<uint16_t>(DatagramBytes(2))), 0x100E);
    EXPECT_EQ(kSingleDatagramOverheadBytes + kMaxDatagramData, 1514) << "a full datagram fills a standard frame";
}

// The command properties the master relies on (which replies may show another address)
// must be what the simulated slaves do to the address field.
TEST(WireDatagram, AddressChangingCommandsAreTheOnesSlavesRaise) {
    SimSegment* segment = SimSegmentCreate(3);
    for (int command = CMD_NOP; command <= CMD_FRMW; command++) {
        std::vector<uint8_t> frame(kSingleDatagramOverheadBytes + 2, 0);
        memset(frame.data(), 0xFF, 6);
        memset(frame.data() + 6, 0x01, 6);
        FrameSetEtherType(frame.data());
        ASSERT_TRUE(FrameIsEtherCat(frame.data()));
        WireStore16(frame.data() + kEthernetHeaderBytes, EtherCatHeaderWord(static_cast<uint16_t>(DatagramBytes(2))));
        const uint16_t adp = 0xFFFE;
        DatagramLayHeader(frame.data() + kFirstDatagramOffset, static_cast<uint8_t>(command), 0, adp, 0x0000, 2, false);
        ASSERT_TRUE(SimProcessFrame(segment, frame.data(), static_cast<int>(frame.size())));
        const uint16_t adp_back = WireLoad16(frame.data() + kFirstDatagramOffset + kDatagramAdpAt);
        const uint8_t code = static_cast<uint8_t>(command);
        if (CommandIncrementsAddress(code)) {
            EXPECT_EQ(adp_back, static_cast<uint16_t>(adp + 3)) << "command " << command;
        } else if (CommandKeepsAddress(code)) {
            EXPECT_EQ(adp_back, adp) << "command " << command;
        }
        EXPECT_FALSE(CommandIncrementsAddress(code) && CommandKeepsAddress(code)) << "command " << command;
    }
    SimSegmentDestroy(segment);
}

TEST(WireSii, HeaderCrcCoversWordsZeroToSixLowByteFirst) {
    uint16_t words[kSiiHeaderWords] = {0x0C08, 0x6E00, 0x0C00, 0x0000, 0x1234, 0, 0, 0};
    uint8_t bytes[kSiiChecksumBytes];
    for (int w = 0; w < 7; w++) WireStore16(bytes + 2 * w, words[w]);
    EXPECT_EQ(SiiHeaderCrc(words), SiiChecksum(bytes, kSiiChecksumBytes));
    SiiUpdateChecksum(words);
    EXPECT_EQ(words[kSiiWordChecksum] >> 8, 0) << "word 7 carries the checksum in its low byte only";
    EXPECT_TRUE(SiiHeaderValid(words));
    words[kSiiWordChecksum] |= 0xAB00;  // the high byte is not checked
    EXPECT_TRUE(SiiHeaderValid(words));
    words[kSiiWordAlias] ^= 0x0100;  // one bit of the alias' high byte
    EXPECT_FALSE(SiiHeaderValid(words));
    uint16_t more[kSiiHeaderWords + 1];
    memcpy(more, words, sizeof(words));
    more[kSiiHeaderWords] = 0xFFFF;  // words past 6 are not covered
    words[kSiiWordAlias] ^= 0x0100;
    more[kSiiWordAlias] ^= 0x0100;
    EXPECT_EQ(SiiHeaderCrc(words), SiiHeaderCrc(more));
}

TEST(WireSii, SizeWordCountsKbitLessOne) {
    EXPECT_EQ(SiiSizeWordBytes(31), 4096u);
    EXPECT_EQ(SiiSizeWordBytes(511), 65536u);
    EXPECT_EQ(SiiSizeWordBytes(0), 128u);
    EXPECT_EQ(SiiSizeWordBytes(0xFFFF), 8388608u) << "no 16-bit overflow";
}
