#include "wire/sii_crc.h"

#include <cstddef>

#include "wire/byte_order.h"
#include "wire/sii_layout.h"

namespace {

constexpr uint8_t kSiiCrcPolynomial = 0x07;

constexpr std::array<uint8_t, 256> MakeCrcTable() {
    std::array<uint8_t, 256> table{};
    for (std::size_t i = 0; i < table.size(); i++) {
        uint8_t crc = static_cast<uint8_t>(i);
        for (int bit = 0; bit < 8; bit++)
            crc = static_cast<uint8_t>((crc & 0x80) != 0 ? (crc << 1) ^ kSiiCrcPolynomial : crc << 1);
        table[i] = crc;
    }
    return table;
}

}  // namespace

// Built once at compile time: one table step per byte keeps the checksum cheap.
constexpr std::array<uint8_t, 256> kSiiCrcTable = MakeCrcTable();

uint8_t SiiChecksum(const uint8_t* bytes, int count) {
    uint8_t crc = 0xFF;
    for (int i = 0; i < count; i++) crc = kSiiCrcTable[crc ^ bytes[i]];
    return crc;
}

uint8_t SiiHeaderCrc(const uint16_t* words) {
    uint8_t bytes[kSiiChecksumBytes];
    for (int w = 0; w < kSiiChecksumBytes / 2; w++) WireStore16(bytes + 2 * w, words[w]);
    return SiiChecksum(bytes, kSiiChecksumBytes);
}

void SiiUpdateChecksum(uint16_t* words) { words[kSiiWordChecksum] = SiiHeaderCrc(words); }

bool SiiHeaderValid(const uint16_t* words) { return (words[kSiiWordChecksum] & 0xFF) == SiiHeaderCrc(words); }
