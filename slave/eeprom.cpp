// PENDING: SII EEPROM access is being written.
#include "slave/eeprom.h"
int EepromToMaster(uint16_t) { return 0; }
int EepromToPdi(uint16_t) { return 0; }
int EepromWaitNotBusy(uint16_t, uint16_t*) { return 0; }
uint64_t EepromReadWord(uint16_t, uint16_t) { return 0; }
int EepromWriteWord(uint16_t, uint16_t, uint16_t) { return 0; }
void EepromReadStart(uint16_t, uint16_t) {}
uint32_t EepromReadFinish(uint16_t) { return 0; }
uint8_t SiiGetByte(uint16_t, uint16_t) { return 0xFF; }
int16_t SiiFind(uint16_t, uint16_t) { return 0; }
void SiiString(char*, uint16_t) {}
bool EepromLastFinishFailed(uint16_t) { return true; }
