// SII EEPROM access through the slave controller's EEPROM interface (0x0500-0x050F),
// the SII byte cache, the category walk and the slave's name string.
#pragma once
#include <cstdint>

// EEPROM Control/Status bits.
enum : uint16_t {
    kEepromCommandRead = 0x0100,
    kEepromCommandWrite = 0x0201,  // write command with the write-enable bit
    kEepromStatusEightByte = 0x0040,
    kEepromStatusErrorBits = 0x7800,
    kEepromStatusNack = 0x2000,
    kEepromStatusBusy = 0x8000,
};

enum : uint16_t {
    kSiiCategoryStrings = 10,
    kSiiCategoryGeneral = 30,
    kSiiCategoryEnd = 0xFFFF,
};

int EepromToMaster(uint16_t slave);
int EepromToPdi(uint16_t slave);
int EepromWaitNotBusy(uint16_t config_address, uint16_t* status);
uint64_t EepromReadWord(uint16_t config_address, uint16_t word_address);
int EepromWriteWord(uint16_t config_address, uint16_t word_address, uint16_t value);
void EepromReadStart(uint16_t slave, uint16_t word_address);
uint32_t EepromReadFinish(uint16_t slave);
uint8_t SiiGetByte(uint16_t slave, uint16_t byte_address);
int16_t SiiFind(uint16_t slave, uint16_t category_type);
void SiiString(char* buffer, uint16_t slave);

// True when the last EepromReadFinish for the slave delivered no EEPROM data: the start
// sent no acknowledged command, the interface reported NACK or an error, or the data
// read got no answer. Its result was then 0 and must not be trusted.
bool EepromLastFinishFailed(uint16_t slave);
