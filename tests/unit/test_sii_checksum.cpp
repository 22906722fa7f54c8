#include <gtest/gtest.h>

#include <cstring>

#include "tool/sii_checksum.h"

namespace {

// Words 0-6 of a header, low byte first, with word 4 set to `alias` and all else 0.
void HeaderWithAlias(uint16_t alias, uint8_t* bytes) {
    memset(bytes, 0, kSiiChecksumBytes);
    bytes[8] = static_cast<uint8_t>(alias & 0xFF);
    bytes[9] = static_cast<uint8_t>(alias >> 8);
}

}  // namespace

TEST(SiiChecksum, TableHoldsTheSingleByteRemaindersOfPolynomial07) {
    const uint8_t first[8] = {0x00, 0x07, 0x0E, 0x09, 0x1C, 0x1B, 0x12, 0x15};
    for (int i = 0; i < 8; i++) EXPECT_EQ(kSiiCrcTable[static_cast<size_t>(i)], first[i]) << "entry " << i;
    EXPECT_EQ(kSiiCrcTable[0x80], 0x89);  // the top bit alone: 0x80 << 1 overflows into the polynomial
    EXPECT_EQ(kSiiCrcTable[0xFF], 0xF3);
}

TEST(SiiChecksum, MatchesTheCheckValueAndTheHeaderCases) {
    const char* check = "123456789";
    EXPECT_EQ(SiiChecksum(reinterpret_cast<const uint8_t*>(check), 9), 0xFB);

    uint8_t header[kSiiChecksumBytes];
    HeaderWithAlias(1, header);
    EXPECT_EQ(SiiChecksum(header, kSiiChecksumBytes), 0x19);
    HeaderWithAlias(0, header);
    EXPECT_EQ(SiiChecksum(header, kSiiChecksumBytes), 0x30);
    EXPECT_EQ(SiiChecksum(header, 0), 0xFF);  // nothing covered: the initial value, no final XOR
}

TEST(SiiChecksum, DependsOnByteOrderAndCoversOnlyTheBytesGiven) {
    uint8_t low_first[kSiiChecksumBytes + 2];
    HeaderWithAlias(0x1234, low_first);
    uint8_t high_first[kSiiChecksumBytes];
    memcpy(high_first, low_first, kSiiChecksumBytes);
    high_first[8] = 0x12;
    high_first[9] = 0x34;
    EXPECT_NE(SiiChecksum(low_first, kSiiChecksumBytes), SiiChecksum(high_first, kSiiChecksumBytes));

    // The old checksum word after the 14 bytes takes no part.
    low_first[14] = 0xAB;
    low_first[15] = 0xCD;
    const uint8_t with_old_word = SiiChecksum(low_first, kSiiChecksumBytes);
    low_first[14] = 0;
    low_first[15] = 0;
    EXPECT_EQ(SiiChecksum(low_first, kSiiChecksumBytes), with_old_word);
}
