// What the files of the EEPROM layer share among themselves (not for other layers).
#pragma once
#include <cstdint>

#include "sim/sim_eeprom.h"

// busy_until_us of a command that never ends (the stuck-busy fault).
constexpr uint64_t kSimEepromNever = ~0ULL;

// Writes the image to its file when it has one; false when the file could not be written.
bool SimEepromSaveImage(SimEeprom* eeprom);
// The image changed: it is unsaved until written through to its file.
void SimEepromImageChanged(SimSlave* slave);
// A command in progress takes effect now, unless it never ends (ecsim exits, and a
// write cycle under way completes in the EEPROM even when nobody looks).
void SimEepromFinishCommand(SimSlave* slave);
