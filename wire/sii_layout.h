// The SII EEPROM's layout: the words of the configuration and identity area, the
// mailbox words, the size word and the category types of the chain behind word 0x40.
#pragma once
#include <cstdint>

enum : uint16_t {
    kSiiWordPdiControl = 0x0000,
    kSiiWordPdiConfig = 0x0001,
    kSiiWordSyncImpulse = 0x0002,
    kSiiWordPdiConfig2 = 0x0003,
    kSiiWordAlias = 0x0004,
    kSiiWordChecksum = 0x0007,  // low byte: CRC-8 of words 0-6
    kSiiWordVendor = 0x0008,    // identity: four 32-bit values, low word first
    kSiiWordProduct = 0x000A,
    kSiiWordRevision = 0x000C,
    kSiiWordSerial = 0x000E,
    kSiiWordBootWriteOffset = 0x0014,
    kSiiWordBootWriteSize = 0x0015,
    kSiiWordBootReadOffset = 0x0016,
    kSiiWordBootReadSize = 0x0017,
    kSiiWordWriteMailboxOffset = 0x0018,
    kSiiWordWriteMailboxSize = 0x0019,
    kSiiWordReadMailboxOffset = 0x001A,
    kSiiWordReadMailboxSize = 0x001B,
    kSiiWordMailboxProtocols = 0x001C,
    kSiiWordSize = 0x003E,  // EEPROM size in Kbit, less 1
    kSiiWordVersion = 0x003F,
    kSiiWordFirstCategory = 0x0040,
};

enum {
    kSiiHeaderWords = 8,  // words 0-7: configuration area with its checksum
};

// Category types.
enum : uint16_t {
    kSiiCategoryStrings = 10,
    kSiiCategoryDataTypes = 20,
    kSiiCategoryGeneral = 30,
    kSiiCategoryFmmu = 40,
    kSiiCategorySyncManager = 41,
    kSiiCategoryTxPdo = 50,
    kSiiCategoryRxPdo = 51,
    kSiiCategoryDc = 60,
    kSiiCategoryEnd = 0xFFFF,
};

// Bytes the size word announces: (value + 1) Kbit.
inline uint32_t SiiSizeWordBytes(uint16_t size_word) { return (static_cast<uint32_t>(size_word) + 1) * 128u; }
