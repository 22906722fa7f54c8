// ESC registers and register bits that master and simulated slaves both name: the
// datasheet-level register map of an EtherCAT slave controller, nothing more.
#pragma once
#include <cstdint>

enum : uint16_t {
    kRegType = 0x0000,
    kRegPortDescriptor = 0x0007,
    kRegFeatures = 0x0008,
    kRegStationAddress = 0x0010,
    kRegStationAlias = 0x0012,  // loaded from SII word 4 at power-on and reload
    kRegDlControl = 0x0100,
    kRegDlControlLoops = 0x0101,
    kRegDlControlAlias = 0x0103,  // bit 0: the station alias is an address
    kRegDlStatus = 0x0110,
    kRegAlControl = 0x0120,
    kRegAlStatus = 0x0130,
    kRegAlStatusCode = 0x0134,
    kRegPdiControl = 0x0140,  // loaded from SII word 0
    kRegEventMask = 0x0200,
    kRegRxErrorCounters = 0x0300,
    // EEPROM interface 0x0500-0x050F.
    kRegEepromConfiguration = 0x0500,  // bit 0 offers the EEPROM to the PDI, bit 1 forces it back
    kRegEepromPdiAccess = 0x0501,      // bit 0: the PDI holds the EEPROM
    kRegEepromControl = 0x0502,        // control/status
    kRegEepromAddress = 0x0504,        // word address, 32 bits
    kRegEepromData = 0x0508,           // 4 or 8 bytes
    kRegEepromInterfaceEnd = 0x0510,
    kRegFmmu = 0x0600,  // 16 bytes per FMMU
    kRegSyncManager = 0x0800,  // 8 bytes per SyncManager
    kRegDcSystemTime = 0x0910,
    kRegDcSpeedCounterStart = 0x0930,
    kRegDcFilterDepths = 0x0934,
};

// SyncManager n: start address (2), length (2), control (1), status (1), activate (1),
// PDI control (1).
enum : uint16_t {
    kSyncManagerBytes = 8,
    kSyncManagerStatusAt = 5,
    kSyncManagerActivateAt = 6,
    kSyncManagerPdiControlAt = 7,
    kRegSm0Status = kRegSyncManager + kSyncManagerStatusAt,                      // 1 byte: bit 3 full
    kRegSm1Status = kRegSyncManager + kSyncManagerBytes + kSyncManagerStatusAt,  // status and activate
    kRegSm1PdiControl = kRegSyncManager + kSyncManagerBytes + kSyncManagerPdiControlAt,
};

// EEPROM control/status bits (0x0502).
enum : uint16_t {
    kEepromControlWriteEnable = 0x0001,  // needed in the same write as a write command
    kEepromStatusEightByte = 0x0040,     // reads deliver 8 bytes, else 4
    kEepromCommandMask = 0x0700,         // bits 8-10: command written, or command in progress
    kEepromStatusChecksumError = 0x0800,  // CRC of words 0-6 does not match word 7
    kEepromStatusLoadError = 0x1000,
    kEepromStatusNack = 0x2000,           // acknowledge or command error
    kEepromStatusWriteEnableError = 0x4000,
    kEepromStatusBusy = 0x8000,
};
enum : uint8_t {
    kEepromCodeIdle = 0,  // as a command: clears the error bits
    kEepromCodeRead = 1,
    kEepromCodeWrite = 2,
    kEepromCodeReload = 4,
};

// AL states (0x0120 requests them, 0x0130 reports them) and their bits.
enum : uint8_t {
    kAlStateInit = 1,
    kAlStatePreOp = 2,
    kAlStateBoot = 3,
    kAlStateSafeOp = 4,
    kAlStateOp = 8,
    kAlStateMask = 0x0F,
    kAlErrorBit = 0x10,  // status: error indicator; control: acknowledge
};
