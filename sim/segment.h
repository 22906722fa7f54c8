// The virtual EtherCAT segment: a line of simulated slave controllers (ESCs).
//
// A frame enters at the first slave and passes every slave in line order; each slave
// executes the datagrams addressed to it against its 64 KiB register and memory space
// and raises the working counter. Behaviour behind particular registers lives in its
// own layer, attached to each slave as a table of register hooks (register_hooks.h)
// that SimSlaveRead and SimSlaveWrite walk: the SII EEPROM interface (sim_eeprom.h),
// the AL state machine, SyncManager mailboxes and their firmware (sim_mailbox.h) with
// the CoE server (sim_coe.h). The segment calls no layer by name.
#pragma once
#include <cstdint>
#include <vector>

#include "wire/byte_order.h"

#include "sim/register_hooks.h"
#include "sim/sim_eeprom.h"
#include "sim/sim_mailbox.h"

enum { kSimMemoryBytes = 65536 };

struct ClockSource;
struct SimSegment;

struct SimSlave {
    uint8_t memory[kSimMemoryBytes];  // ESC registers and process memory, little-endian
    int position;                     // 1 for the first slave behind the master
    bool is_last;                     // DL status: only port 0 open and communicating
    SimSegment* segment;              // the segment the slave belongs to
    SimRegisterHooks hooks;           // behaviour behind registers, walked on every access
    SimEeprom eeprom;
    SimMailbox mailbox;
};

struct SimSegment {
    std::vector<SimSlave*> slaves;  // line order
    int vanished_from;              // slaves from this position on do not answer (0 = none)
    // Called before each frame while slaves are off the line, with the time: the layer
    // that takes slaves off the line brings them back.
    void (*line_check)(SimSegment* segment, uint64_t now_us);
    // The clock of the master that opened the segment; null: the process's clock.
    const ClockSource* clock;
    uint64_t frames_processed;
    uint64_t datagrams_processed;
};

// Builds a segment of `count` slaves with power-on register contents; each slave's
// EEPROM starts with the default image for its position (see sim_eeprom.h).
SimSegment* SimSegmentCreate(int count);
void SimSegmentDestroy(SimSegment* segment);
// Power-on: registers from defaults, station alias and PDI control from a valid SII
// header, then each layer's power-on in table order. Called by SimSegmentCreate and
// again after an EEPROM image is replaced.
void SimSlavePowerOn(SimSlave* slave);

// Runs one Ethernet frame through the line, in place. Returns true when the frame is to
// be returned to the master (an EtherCAT frame passed by at least one live slave); the
// returned frame carries bit 1 of the first source address byte set.
bool SimProcessFrame(SimSegment* segment, uint8_t* frame, int length);

// Register access as one slave executes it, its hooks included. A read that the ESC
// does not execute (an empty read mailbox) or a write it ignores (a full write mailbox)
// returns false and is not counted.
bool SimSlaveRead(SimSlave* slave, uint16_t address, uint16_t length, uint8_t* out);
bool SimSlaveWrite(SimSlave* slave, uint16_t address, uint16_t length, const uint8_t* data);

// The wire's little-endian helpers under the names the tests of the segment use.
inline uint16_t SimGet16(const uint8_t* p) { return WireLoad16(p); }
inline uint32_t SimGet32(const uint8_t* p) { return WireLoad32(p); }
inline void SimPut16(uint8_t* p, uint16_t v) { WireStore16(p, v); }
inline void SimPut32(uint8_t* p, uint32_t v) { WireStore32(p, v); }
