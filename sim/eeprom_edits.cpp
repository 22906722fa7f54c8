// Edits of a simulated slave's EEPROM image for tests and options. Each is written
// through to the slave's image file when it has one.
#include "sim/eeprom_internal.h"
#include "sim/segment.h"

void SimEepromSetName(SimSlave* slave, const char* name) {
    if (name == nullptr)
        SiiRemoveCategory(slave->eeprom.words, kSiiCategoryStrings);
    else
        SiiSetName(slave->eeprom.words, name);
    SimEepromImageChanged(slave);
}

void SimEepromSetIdentity(SimSlave* slave, uint32_t vendor, uint32_t product, uint32_t revision) {
    SiiSetIdentity(slave->eeprom.words, vendor, product, revision);
    SimEepromImageChanged(slave);
}

void SimEepromSetMailbox(SimSlave* slave, uint16_t write_offset, uint16_t write_size, uint16_t read_offset,
                         uint16_t read_size, uint16_t protocols) {
    SiiSetMailbox(slave->eeprom.words, write_offset, write_size, read_offset, read_size, protocols);
    SimEepromImageChanged(slave);
}

void SimEepromSetMailboxSize(SimSlave* slave, uint16_t bytes) {
    uint16_t protocols = slave->eeprom.words[kSiiWordMailboxProtocols];
    if (protocols == 0) protocols = kSiiDefaultProtocols;
    SimEepromSetMailbox(slave, kSiiDefaultMailboxOffset, bytes, static_cast<uint16_t>(kSiiDefaultMailboxOffset + bytes),
                        bytes, protocols);
}

void SimEepromSetGeneral(SimSlave* slave, const SiiGeneral& general) {
    SiiSetGeneral(slave->eeprom.words, general);
    SimEepromImageChanged(slave);
}

void SimEepromRemoveGeneral(SimSlave* slave) {
    SiiRemoveCategory(slave->eeprom.words, kSiiCategoryGeneral);
    SimEepromImageChanged(slave);
}

void SimEepromSetWord(SimSlave* slave, uint16_t word, uint16_t value) {
    uint32_t at = word % SimEepromWordCount(&slave->eeprom);
    slave->eeprom.words[at] = value;
    int end = static_cast<int>(2 * at + 2);
    if (slave->eeprom.path[0] != '\0' && end > slave->eeprom.file_bytes) slave->eeprom.file_bytes = end;
    SimEepromImageChanged(slave);
}

void SimEepromSetAlias(SimSlave* slave, uint16_t alias) {
    slave->eeprom.words[kSiiWordAlias] = alias;
    SiiUpdateChecksum(slave->eeprom.words);
    SimEepromImageChanged(slave);
}

void SimEepromUpdateChecksum(SimSlave* slave) {
    SiiUpdateChecksum(slave->eeprom.words);
    SimEepromImageChanged(slave);
}

bool SimEepromSetSize(SimSlave* slave, uint32_t bytes) {
    if (bytes < 2 * kSimEepromMinWords || bytes > 2 * kSimEepromMaxWords || (bytes & (bytes - 1)) != 0) return false;
    SimEeprom& e = slave->eeprom;
    uint32_t words = bytes / 2;
    for (uint32_t w = SimEepromWordCount(&e); w < words; w++) e.words[w] = 0xFFFF;
    e.word_count = words;
    e.words[kSiiWordSize] = static_cast<uint16_t>(bytes * 8 / 1024 - 1);
    if (e.path[0] != '\0' && e.file_bytes > static_cast<int>(bytes)) e.file_bytes = static_cast<int>(bytes);
    SimEepromImageChanged(slave);
    return true;
}

void SimEepromRepowerOn(SimSlave* slave) { SimSlavePowerOn(slave); }
