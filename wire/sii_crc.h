// CRC-8 of the SII configuration area: the checksum a slave controller verifies over
// EEPROM words 0 to 6 when it loads its configuration, kept in the low byte of word 7.
#pragma once
#include <array>
#include <cstdint>

// The byte count the checksum covers: words 0 to 6, low byte of each word first.
enum { kSiiChecksumBytes = 14 };

// Entry i is the CRC of the single byte i from the initial value 0 (polynomial
// x^8 + x^2 + x + 1, most significant bit first).
extern const std::array<uint8_t, 256> kSiiCrcTable;

// The CRC over `count` bytes: initial value 0xFF, one table step per byte, no
// reflection and no final XOR.
uint8_t SiiChecksum(const uint8_t* bytes, int count);
// The CRC of words 0-6 of an image held in host-order words.
uint8_t SiiHeaderCrc(const uint16_t* words);
// Word 7 = CRC of words 0-6 (high byte 0).
void SiiUpdateChecksum(uint16_t* words);
// True when the low byte of word 7 is the CRC of words 0-6.
bool SiiHeaderValid(const uint16_t* words);
