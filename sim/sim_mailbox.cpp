// Placeholder until SyncManagers and the firmware are modelled: INIT only.
#include "sim/segment.h"

void SimMailboxPowerOn(SimSlave*) {}
bool SimMailboxBeforeRead(SimSlave*, uint16_t, uint16_t) { return true; }
bool SimMailboxBeforeWrite(SimSlave*, uint16_t, uint16_t) { return true; }
void SimMailboxAfterRead(SimSlave*, uint16_t, uint16_t) {}
void SimMailboxAfterWrite(SimSlave*, uint16_t, uint16_t) {}
int SimMailboxParseOption(SimSegment*, const char*, const char*) { return 0; }
const char* SimMailboxOptionHelp() { return ""; }
