// SII EEPROM of a simulated slave, behind ESC registers 0x0500-0x050F.
#pragma once
#include <cstdint>

struct SimSlave;
struct SimSegment;

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

// ecsim options of the EEPROM layer, each `--name VALUE`. Returns 1 when the option was
// taken, 0 when it is not an EEPROM option, -1 when its value is invalid (a message has
// been printed to standard error). Applied after the segment exists.
int SimEepromParseOption(SimSegment* segment, const char* option, const char* value);
// Help text of those options, for ecsim --help.
const char* SimEepromOptionHelp();
// Writes images that changed back to their files (ecsim calls it at exit).
void SimEepromSaveAll(SimSegment* segment);
// Prints words 0-7 of an image file for humans and tests; returns an exit code.
int SimEepromPrintHeader(const char* path);
