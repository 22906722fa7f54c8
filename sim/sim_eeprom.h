// SII EEPROM of a simulated slave, behind ESC registers 0x0500-0x050F.
#pragma once
#include <cstdint>

struct SimSlave;

enum { kSimEepromWords = 2048 };  // 4 KiB image

struct SimEeprom {
    uint16_t words[kSimEepromWords];
    bool eight_byte_reads;
};

// True when words 0-7 carry a valid CRC-8 in word 7.
bool SimSiiHeaderValid(const SimEeprom* eeprom);
// Power-on state of the EEPROM interface registers (checksum error, read size).
void SimEepromPowerOn(SimSlave* slave);
// Fills the image a slave at `position` gets by default.
void SimEepromDefaultImage(SimEeprom* eeprom, int position);
// Register hooks: refresh the control/status word before a read, act on a write.
void SimEepromBeforeRead(SimSlave* slave, uint16_t address, uint16_t length);
void SimEepromAfterWrite(SimSlave* slave, uint16_t address, uint16_t length);
