// SII EEPROM images of simulated slaves: the header checksum, the identity and mailbox
// words, and the category chain behind word 0x40 (strings, general, any other kept as
// it is). Images are arrays of kSiiImageWords 16-bit words in host order; files hold
// them little-endian.
#pragma once
#include <cstdint>

#include "wire/sii_crc.h"
#include "wire/sii_layout.h"

enum { kSiiImageWords = 2048 };  // 4 KiB, a 32 Kbit EEPROM

// What the default image of a slave holds (position-dependent where noted).
enum : uint32_t {
    kSiiDefaultVendor = 0x00000EC5,
    kSiiDefaultProductBase = 0x00010000,  // product code = base + position
    kSiiDefaultRevision = 0x00020001,
    kSiiDefaultPdiControl = 0x0005,       // SPI slave
    kSiiDefaultMailboxOffset = 0x1000,    // write mailbox; the read mailbox follows it
    kSiiDefaultMailboxBytes = 128,
    kSiiDefaultProtocols = 0x0004,        // CoE
    kSiiDefaultCoeDetails = 0x23,         // SDO, SDO information, complete access
};
enum { kSiiGeneralBytes = 32 };

struct SiiGeneral {
    uint8_t coe_details;
    uint8_t foe_details;
    uint8_t eoe_details;
    uint8_t soe_channels;
    uint8_t flags;  // bit 1: the slave must not be addressed with LRW
    int16_t ebus_current;  // mA
};

// The default image of the slave at `position` (1 for the first slave): valid header
// checksum, identity (kSiiDefault*), 128-byte mailboxes at 0x1000 and 0x1080 with CoE,
// a strings category with the name "ecsim slave N" and a general category.
void SiiDefaultImage(uint16_t* words, int position);

void SiiSetIdentity(uint16_t* words, uint32_t vendor, uint32_t product, uint32_t revision);
// Standard and bootstrap mailbox words; a size of 0 means "no mailbox" (offsets and
// protocols 0 too).
void SiiSetMailbox(uint16_t* words, uint16_t write_offset, uint16_t write_size, uint16_t read_offset,
                   uint16_t read_size, uint16_t protocols);
void SiiSetGeneral(uint16_t* words, const SiiGeneral& general);
// Replaces string 1 of the strings category (other strings stay), creating the
// category when there is none. Names longer than 255 bytes are refused.
bool SiiSetName(uint16_t* words, const char* name);

// The category chain. Find returns the word address of the category's type word, or -1.
// Put replaces a category's data (or appends the category before the end marker); it
// refuses data that would not fit. Remove drops a category. The walk is bounded: it
// stops at the end marker, where a length runs past the image, or after 64 categories.
int SiiFindCategory(const uint16_t* words, uint16_t type);
bool SiiPutCategory(uint16_t* words, uint16_t type, const uint8_t* data, int byte_count);
bool SiiRemoveCategory(uint16_t* words, uint16_t type);
