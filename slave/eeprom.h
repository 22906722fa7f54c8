// SII EEPROM access through the slave controller's EEPROM interface (0x0500-0x050F),
// the SII byte cache, the category walk and the slave's name string.
#pragma once
#include <cstdint>

#include "wire/esc_registers.h"
#include "wire/sii_layout.h"

struct MasterContext;

// The commands this master writes, and the groups of status bits it tests (the single
// bits are named in wire/esc_registers.h).
enum : uint16_t {
    kEepromCommandRead = 0x0100,
    kEepromCommandWrite = 0x0201,  // write command with the write-enable bit
    kEepromStatusErrorBits = 0x7800,
    // The errors of the last command (NACK, write without write enable). The checksum and
    // loading bits 0x1800 describe the configuration area, not a read or write.
    kEepromStatusCommandErrors = 0x6000,
};


enum {
    kSiiNameChars = 40,  // name characters kept; the rest of a longer string is skipped
    // Passes of one EepromReadWord or EepromWriteWord: three NACKed commands are allowed,
    // and once a NACK has been seen, passes that fail otherwise (no acknowledged command,
    // interface still busy) count against the same bound, so the operation always ends.
    kEepromMaxPasses = 6,
};


// Hands the slave's EEPROM to the EtherCAT side (force, then release the force) unless
// the master holds it already. Returns 1 when nothing had to be sent, else the working
// counter of the last configuration write; `eeprom_at_pdi` is 0 afterwards.
int EepromToMaster(MasterContext* master, uint16_t slave);
// Offers the slave's EEPROM to its PDI unless it is offered already. Returns 1 when
// nothing had to be sent, else the working counter of the write; `eeprom_at_pdi` is 1.
int EepromToPdi(MasterContext* master, uint16_t slave);
// Polls the control/status register every 200 us for up to 20 ms. Returns 1 only when a
// read was answered with the busy bit clear; 0 when no answered read showed the
// interface idle. `status` holds the last status word read (0 when the last read got no
// answer).
int EepromWaitNotBusy(MasterContext* master, uint16_t config_address, uint16_t* status);
// Reads 4 or 8 bytes (as the interface reports) from `word_address` on; the upper half
// is 0 for 4-byte reads. 0 when nothing could be read (three NACKs, busy interface, no
// answer, or kEepromMaxPasses passes without data).
uint64_t EepromReadWord(MasterContext* master, uint16_t config_address, uint16_t word_address);
// Writes one word. 1 once the slave acknowledged the data and the command and an answered
// status read showed the write finished without NACK; 0 otherwise.
int EepromWriteWord(MasterContext* master, uint16_t config_address, uint16_t word_address, uint16_t value);
// Split read: Start commands a read of `word_address` and returns; Finish waits for it
// and returns the 4 bytes (word n low, word n+1 high). Finish returns 0 and marks the
// read failed (EepromLastFinishFailed) when no acknowledged command was started, the
// interface stayed busy, the status shows a command error, or the data read got no
// answer. A Finish consumes the started read.
void EepromReadStart(MasterContext* master, uint16_t slave, uint16_t word_address);
uint32_t EepromReadFinish(MasterContext* master, uint16_t slave);
// True when the last EepromReadFinish for the slave delivered no EEPROM data. Its result
// was then 0 and must not be trusted.
bool EepromLastFinishFailed(MasterContext* master, uint16_t slave);

// One byte of the slave's EEPROM through the SII cache (one cached slave at a time; a
// read fills 4 or 8 bytes). 0xFF for addresses 4096 and above; 0, and nothing cached,
// when the EEPROM could not be read.
uint8_t SiiGetByte(MasterContext* master, uint16_t slave, uint16_t byte_address);
// Byte address of the length word of the first category of `category_type`, or 0 when
// the chain ends first, a byte of it cannot be read, or a length leads back (the walk
// stops where the position would not advance).
int16_t SiiFind(MasterContext* master, uint16_t slave, uint16_t category_type);
// String 1 of the strings category into `buffer` (41 bytes; at most 40 characters and a
// 0). The buffer is untouched when there is no strings category or it cannot be read.
void SiiString(MasterContext* master, char* buffer, uint16_t slave);
// SiiString that tells whether string 1 was read (false: buffer untouched).
bool SiiStringChecked(MasterContext* master, char* buffer, uint16_t slave);
