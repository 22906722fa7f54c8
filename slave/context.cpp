#include "slave/context.h"

#include <cstring>
#include <new>

namespace {

// The legacy master's table and per-slave records: static, as its callers keep
// pointers into the records (GetSlaveName) for as long as the program runs.
SlaveRecord g_legacy_records[kMaxSlaveRecords];
EepromReadTrack g_legacy_eeprom_reads[kMaxSlaveRecords];
OwedAnswer g_legacy_owed_answers[kMaxSlaveRecords];
uint16_t g_legacy_position_lists[2 * kMaxSlaveRecords];

void FreeSlaveStorage(MasterContext* master) {
    if (!master->owns_slave_storage) return;
    delete[] master->slave_table.records;
    delete[] master->eeprom_reads;
    delete[] master->owed_answers;
    delete[] master->position_lists;
}

}  // namespace

MasterContext::~MasterContext() { FreeSlaveStorage(this); }

// Every member starts zero but for the capacities and the static storage, before any
// constructor of any file runs.
constinit MasterContext g_master(FixedSlaveStorage{g_legacy_records, g_legacy_eeprom_reads, g_legacy_owed_answers,
                                                   g_legacy_position_lists, kMaxSlaveRecords});

bool SlaveStorageReserve(MasterContext* master, int slaves) {
    if (slaves < 0 || slaves > kProtocolMaxSlaves) return false;
    const int32_t records = slaves + 1;
    if (records <= master->slave_table.capacity) return true;
    if (!master->owns_slave_storage) return false;
    const size_t held = static_cast<size_t>(records);
    SlaveRecord* table = new (std::nothrow) SlaveRecord[held]();
    EepromReadTrack* reads = new (std::nothrow) EepromReadTrack[held]();
    OwedAnswer* owed = new (std::nothrow) OwedAnswer[held]();
    uint16_t* lists = new (std::nothrow) uint16_t[2 * held]();
    if (table == nullptr || reads == nullptr || owed == nullptr || lists == nullptr) {
        delete[] table;
        delete[] reads;
        delete[] owed;
        delete[] lists;
        return false;
    }
    FreeSlaveStorage(master);
    master->slave_table.records = table;
    master->slave_table.capacity = records;
    master->eeprom_reads = reads;
    master->owed_answers = owed;
    master->position_lists = lists;
    return true;
}

void SlaveTableZero(MasterContext* master) {
    const size_t held = static_cast<size_t>(master->slave_table.capacity);
    if (held == 0) return;
    memset(static_cast<void*>(master->slave_table.records), 0, sizeof(SlaveRecord) * held);
    memset(static_cast<void*>(master->eeprom_reads), 0, sizeof(EepromReadTrack) * held);
}

void OwedAnswersZero(MasterContext* master) {
    const size_t held = static_cast<size_t>(master->slave_table.capacity);
    if (held == 0) return;
    memset(static_cast<void*>(master->owed_answers), 0, sizeof(OwedAnswer) * held);
}
