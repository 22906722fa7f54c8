// Behaviour behind particular ESC registers, attached to each simulated slave as a table
// of hooks that the segment walks around every register access.
//
// The segment itself knows registers and memory only: it copies bytes, keeps read-only
// registers read-only and counts. Each layer (the EEPROM interface, the AL state
// machine, the SyncManager mailboxes and their firmware, fault injection) hands the
// segment hook entries for the address ranges it serves; the segment never calls a
// layer by name. Entries run in table order:
//   before_read / before_write  may refuse the access (the ESC does not execute it: not
//                               counted, nothing transferred); the first refusal ends it
//   after_read / after_write    act on an access that was executed
//   power_on                    brings the layer's registers to their power-on state
// A hook is called for an access that overlaps [first, end) (accesses wrap at 64 KiB,
// as the register space does); hooks that look at every access, empty ones included,
// cover 0 to 0x10000.
#pragma once
#include <cstdint>

struct SimSlave;
struct SimSegment;

struct SimRegisterHook {
    const char* name;  // the layer, for tests and diagnostics
    uint16_t first;
    uint32_t end;  // one past the last register covered (at most 0x10000)
    bool (*before_read)(SimSlave* slave, uint16_t address, uint16_t length);
    void (*after_read)(SimSlave* slave, uint16_t address, uint16_t length);
    bool (*before_write)(SimSlave* slave, uint16_t address, uint16_t length);
    void (*after_write)(SimSlave* slave, uint16_t address, uint16_t length);
    void (*power_on)(SimSlave* slave);
};

enum { kSimMaxRegisterHooks = 16 };

struct SimRegisterHooks {
    SimRegisterHook entries[kSimMaxRegisterHooks];
    int count;
};

// Appends an entry; false (and nothing added) when the table is full or the range empty.
bool SimHooksAdd(SimRegisterHooks* hooks, const SimRegisterHook& hook);
// True when an access of `length` bytes at `address` touches the hook's range.
bool SimHookCovers(const SimRegisterHook& hook, uint16_t address, uint16_t length);

// The standard layers of a simulated slave controller, in the order they must see each
// access (sim/slave_layers.cpp says why). Installed on every slave of a new segment.
void SimSlaveInstallLayers(SimSlave* slave);
// Segment-wide: what the layers check before a frame enters the line (slaves that went
// off the line coming back). Installed on every new segment.
void SimSegmentInstallLayers(SimSegment* segment);
