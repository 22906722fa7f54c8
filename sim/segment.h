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

// Which slave answers a configured address: the segment keeps an index from station
// address (or enabled alias) to slave so that a frame's cost grows with its datagrams,
// not with datagrams times slaves. It is checked against the slaves' registers before
// it is used in a frame and after every access a slave executes, so registers written
// by any path (the master, a layer, a test) are always seen.
struct SimAddressIndex {
    std::vector<uint16_t> owner;  // per address: slave index + 1, kSimSeveralOwners, or 0 (none)
    std::vector<uint32_t> keys;   // per slave: station address | alias << 16 as indexed
    bool stale = true;
};
enum : uint16_t { kSimSeveralOwners = 0xFFFF };

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
    SimAddressIndex address_index;
    uint64_t slave_visits;  // datagram executions on a slave, addressed or not
    int last_frame_slaves;  // the slaves the last frame passed (those before a break)
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
//
// The result is that of the frame passing slave 1, then slave 2, ..., each slave
// executing every datagram of the chain in order. Slaves share no state, so the line is
// walked datagram by datagram instead, each datagram visiting in line order only the
// slaves it can address: the one a position address reaches, the owner of a configured
// address, every slave for broadcast, logical and read-multiple-write commands. Each
// slave still sees its datagrams in chain order and each datagram the slaves in line
// order.
bool SimProcessFrame(SimSegment* segment, uint8_t* frame, int length);
// One slave's part of a datagram as the frame carries it when it reaches the slave:
// the access if the slave is addressed, the working counter raised, an auto-increment
// address raised by one. SimProcessFrame is made of these; tests walk a line with it.
void SimSlaveExecute(SimSlave* slave, uint8_t* datagram, uint16_t data_length);

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
