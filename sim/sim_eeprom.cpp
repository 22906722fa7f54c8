// Placeholder until the EEPROM interface is modelled: plain memory, no commands.
#include "sim/segment.h"

bool SimSiiHeaderValid(const SimEeprom*) { return false; }
void SimEepromPowerOn(SimSlave*) {}
void SimEepromDefaultImage(SimEeprom* eeprom, int) { *eeprom = SimEeprom{}; }
void SimEepromBeforeRead(SimSlave*, uint16_t, uint16_t) {}
void SimEepromAfterWrite(SimSlave*, uint16_t, uint16_t) {}
int SimEepromParseOption(SimSegment*, const char*, const char*) { return 0; }
const char* SimEepromOptionHelp() { return ""; }
void SimEepromSaveAll(SimSegment*) {}
int SimEepromPrintHeader(const char*) { return 1; }
