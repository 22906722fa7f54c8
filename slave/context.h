// The master object: frame port, slave table, groups, SII cache and error list.
#pragma once
#include <cstdint>
#include <mutex>

#include "link/clock.h"
#include "link/frame_port.h"

enum {
    // The most slaves a master describes: the protocol's limit. The broadcast read that
    // counts the slaves has a 16-bit working counter, and every one of 65535 positions
    // gets its own non-zero station address (StationAddressFor, slave/bringup.h).
    kProtocolMaxSlaves = 65535,
    // The legacy master (g_master: the host functions of ecdevice.h and the console
    // dialog) describes at most 199 slaves, as it always has, in a static table of 200
    // records (record 0 is the aggregate).
    kLegacyMaxSlaves = 199,
    kMaxSlaveRecords = kLegacyMaxSlaves + 1,
    // Slaves one packed phase (or one call on the SII engine) of the bring-up takes at
    // once: its datagram lists and buffers live on the stack, and a segment with more
    // slaves is worked through in runs of this many. A run fills several frames already.
    kSlavesPerRun = 256,
    kMaxGroups = 2,
    kSiiCacheBytes = 4096,
    kErrorListSlots = 65,  // holds at most 64 entries
    kMailboxBytes = 1486,
    kSlaveNameBytes = 41,
};

#pragma pack(push, 1)
struct SyncManagerEntry {
    uint16_t start_address;
    uint16_t length;
    uint32_t flags;  // control, status, activate, PDI control bytes, low to high
};
#pragma pack(pop)
static_assert(sizeof(SyncManagerEntry) == 8, "SyncManagerEntry mirrors the 8 bytes of an ESC SyncManager");

// A slave found past INIT remembers the counter of the last mailbox request another
// master (or an earlier run) sent it, and takes a request with that counter for a
// repeat, which it does not carry out. Counter 0 is the start value, never a repeat:
// the first request to such a slave carries it, then 1..7 follow.
constexpr uint8_t kMailboxCounterRestart = 0xFF;

struct SlaveRecord {
    uint16_t state;
    uint16_t al_status_code;
    uint16_t config_address;
    uint16_t alias_address;
    uint8_t alias_address_read;  // the bring-up's read of register 0x0012 was answered
    uint32_t vendor_id;
    uint32_t product_code;
    uint32_t revision_no;
    uint16_t interface_type;
    SyncManagerEntry sync_managers[8];
    uint8_t sm_types[8];
    uint16_t mbx_length;
    uint16_t mbx_write_offset;
    uint16_t mbx_read_length;
    uint16_t mbx_read_offset;
    uint16_t mbx_protocols;
    uint8_t mbx_counter;  // counter of the last mailbox request; kMailboxCounterRestart: 0 goes next
    uint8_t has_dc;
    uint8_t port_type;
    uint8_t topology;
    uint8_t active_ports;
    uint8_t eeprom_8byte_reads;
    uint8_t eeprom_at_pdi;
    uint8_t coe_details;
    uint8_t foe_details;
    uint8_t eoe_details;
    uint8_t soe_details;
    int16_t ebus_current;
    uint8_t block_lrw;
    char name[kSlaveNameBytes];
};

// Record 0 (the aggregate of all slaves) and one record per slave, by 1-based position.
// The storage is sized by the scan that learned the slave count (SlaveStorageReserve):
// allocated then, never by an exchange. Only the legacy master's is static.
struct SlaveTable {
    SlaveRecord* records = nullptr;
    int32_t capacity = 0;  // records held, record 0 included
    SlaveRecord& operator[](int n) { return records[n]; }
    const SlaveRecord& operator[](int n) const { return records[n]; }
};

struct GroupRecord {
    uint32_t logical_start_address;
};

struct SiiCache {
    uint8_t cache_bytes[kSiiCacheBytes];
    uint32_t fill_map[kSiiCacheBytes / 32];
    uint16_t cached_slave;
};

enum ErrorType : int32_t {
    SDO_ABORT = 0,
    EMERGENCY = 1,
    PACKET_ERROR = 3,
    MAILBOX_ERROR = 9,
};

struct ErrorEntry {
    TimeStamp time;
    uint8_t signalled;
    uint16_t slave;
    uint16_t index;
    uint8_t subindex;
    int32_t error_type;
    union {
        int32_t abort_code;
        struct {
            uint16_t error_code;
            uint8_t error_register;
            uint8_t mfr_byte;
            uint16_t mfr_word1;
            uint16_t mfr_word2;
        };
    };
};

struct ErrorList {
    int16_t push_position;
    int16_t read_position;
    ErrorEntry entries[kErrorListSlots];
};

// What the master knows of the split EEPROM read it started on a slave: whether a read
// command really went out and was acknowledged, and whether the last finish delivered
// data read from the EEPROM. The dialog and the bring-up consult it; it never reaches
// the wire. `idle_seen`: the SII engine's last answered status of this slave showed the
// interface idle and clean and nothing of this master commanded it since (the engine's
// next read may then skip its first wait for an idle interface).
struct EepromReadTrack {
    uint8_t read_issued;
    uint8_t last_finish_failed;
    uint8_t idle_seen;
};

// An SDO request the slave took but whose answer the master gave up waiting for: the
// slave may still answer it, and that answer must not pass for the next request's.
struct OwedAnswer {
    uint8_t count;      // answers still owed, at most 7
    TimeStamp since;    // when the last of them was given up
};

// The static storage of the legacy master's slave table and per-slave records.
struct FixedSlaveStorage {
    SlaveRecord* records;
    EepromReadTrack* eeprom_reads;
    OwedAnswer* owed_answers;
    uint16_t* position_lists;
    int32_t records_held;
};

// A master: one adapter (frame port), the slave table and what the master keeps per
// slave. Every function of slave/ takes the master it works on, so several masters may
// live in one process, each on its own adapter.
//
// The slave table, the EEPROM read tracks, the owed answers and the position lists hold
// one entry per record (slave_table.capacity of each): a master starts with none, and
// the scan that counts the slaves makes room for them. The storage is kept for later
// scans and freed with the master.
struct MasterContext {
    MasterContext() = default;
    // A master on static storage, set up before any code runs (constant-initialized).
    constexpr explicit MasterContext(const FixedSlaveStorage& fixed)
        : port{},
          slave_table{fixed.records, fixed.records_held},
          max_slaves(fixed.records_held - 1),
          group_table{},
          sii_cache{},
          error_list{},
          error_flag(0),
          eeprom_reads(fixed.eeprom_reads),
          owed_answers(fixed.owed_answers),
          position_lists(fixed.position_lists),
          owns_slave_storage(false) {}
    ~MasterContext();
    MasterContext(const MasterContext&) = delete;
    MasterContext& operator=(const MasterContext&) = delete;

    FramePort port;
    SlaveTable slave_table;
    int32_t slave_count = 0;
    // The most slaves the table describes (at most kProtocolMaxSlaves): slaves counted
    // beyond are neither addressed nor described.
    int32_t max_slaves = kProtocolMaxSlaves;
    GroupRecord group_table[kMaxGroups];
    int32_t max_groups = kMaxGroups;
    SiiCache sii_cache;
    ErrorList error_list;
    uint8_t error_flag;
    // The error list is the one record that calls on different slaves share: SDO
    // transfers on two slaves may record entries at the same moment.
    std::mutex error_lock;
    EepromReadTrack* eeprom_reads = nullptr;
    OwedAnswer* owed_answers = nullptr;
    // Two lists of slave positions (2 x capacity entries): work space of the mailbox
    // setup, which runs alone on the master (inside a scan or the legacy Init).
    uint16_t* position_lists = nullptr;
    // False for the legacy master, whose storage is static.
    bool owns_slave_storage = true;
};

// The master behind the legacy host functions (ecdevice.h) and the console dialog, zero
// at start but for the capacities: 199 slaves at most, in static storage.
extern MasterContext g_master;

// Makes room for `slaves` slaves (records 0..slaves) in the table and every per-slave
// array, keeping the storage the master has when it is large enough. New storage starts
// zero; what the old storage held is not carried over (a scan starts afresh). False, and
// the old storage kept, when `slaves` is outside 0..kProtocolMaxSlaves, when the memory
// could not be had, or when the storage is static and too small.
bool SlaveStorageReserve(MasterContext* master, int slaves);
// Zeroes every record of the table (the aggregate included) and every EEPROM read track.
void SlaveTableZero(MasterContext* master);
// Zeroes the answers owed by every slave: a new segment owes nothing.
void OwedAnswersZero(MasterContext* master);

inline bool SlaveNumberValid(const MasterContext* master, int slave) {
    return slave >= 1 && slave <= master->slave_count;
}
