// Network bring-up: count the slaves, reset them, address them, read their SII.
#pragma once
#include <cstdint>

#include "wire/esc_registers.h"

struct MasterContext;

enum {
    // A bring-up or scan whose slave table could not be allocated (slave count 0).
    kBringupNoMemory = -4,
    kFirstStationAddress = 0x1000,
    // The last position whose station address is kFirstStationAddress + position.
    kLastPlainPosition = 0xFFFF - kFirstStationAddress,
};

// The station address the bring-up gives the slave at `position` (1..65535):
// 0x1000 + position up to position 61439 (0xFFFF), then 0x0001, 0x0002, ... 0x1000 for
// positions 61440..65535. Every position has its own address, and none is 0.
uint16_t StationAddressFor(int position);

// Counts the slaves with a broadcast read of register 0x0000 (after disabling alias
// addressing and requesting INIT twice). Returns the working counter; when it is above
// 0 the slave count is set to it, capped at the master's max_slaves (199 for the legacy
// master), and the table has room for them; kBringupNoMemory when it could not be had.
int DetectSlaves(MasterContext* master);
// The twelve broadcast writes that put every slave controller into a known state.
void SetSlavesToDefault(MasterContext* master);
// Reads the slave's AL status about every millisecond until its state equals
// `requested_state` or `timeout_us` (negative counts as 0) has passed. Stores the AL
// status in `state` and the code in `al_status_code`; returns the state (low nibble).
// 0 for slave numbers outside 1 to the slave count.
uint16_t StateCheck(MasterContext* master, uint16_t slave, uint16_t requested_state, int32_t timeout_us);
// Rebuilds the slave table: DetectSlaves, SetSlavesToDefault, then addresses, identity
// and mailbox words of every slave and the details of slave 1. Returns the working
// counter of the counting read when it is 0 or negative (nothing else is sent), else
// the slave count, or kBringupNoMemory. A segment with more slaves than the master's
// max_slaves is brought up as far as the table reaches: the first max_slaves slaves are
// described, the others keep their addresses.
int ConfigureNetwork(MasterContext* master);

// How the addressing and the identity and mailbox words are done. ConfigureNetwork
// works on every slave at once: each addressing access for all slaves packed into few
// frames, the EEPROM words on the SII engine (every slave's interface advanced together).
// The pipelined order addresses slave after slave and starts a word on every slave
// before it finishes any; the slave-by-slave order waits for each word in turn. Both
// give the same table and exist to compare against.
enum class EepromReadOrder { kParallel, kPipelined, kSlaveBySlave };
int ConfigureNetworkWith(MasterContext* master, EepromReadOrder order);

// A scan that leaves the line running: it counts, addresses and describes the slaves as
// ConfigureNetwork does, but sends no INIT request and resets no FMMU, SyncManager,
// DC or loop setting (only alias addressing is switched off, so that configured
// addresses reach one slave each). Slave 1 is not waited for to be in INIT. A service
// tool that lists slaves or reads an EEPROM must not take a machine out of OP. Slave 1's
// read mailbox words, name and general category are not read here (nor is a read of
// word 0x001A left started on the others): the caller reads the mailbox words and names
// of every slave at once (PrepareMailboxesKeepingStates takes slave 1's with the others').
// With ScanIdentities::kLeftToCaller the identity and write mailbox words (vendor,
// product, revision, mailbox offset and length) are not read either: a caller that
// reads them of every slave anyway puts them into the table itself, before the mailbox
// setup, and saves their round trips.
enum class ScanIdentities { kRead, kLeftToCaller };
int ScanNetworkKeepingStates(MasterContext* master, ScanIdentities identities = ScanIdentities::kRead);

// Names every slave from `first` on whose name is empty, all at once on the SII engine,
// as the legacy host functions name them: string 1 of the strings category (at most 40
// characters, within the first 4096 EEPROM bytes), or "? M:vendor I:product" when there
// is none, it is empty or it cannot be read.
void NameSlaves(MasterContext* master, int first);
// Writes `requested_state` into the AL control register of every listed slave, packed;
// each datagram whose frame got no reply is sent again, up to kPackedSends sends.
// `written` (may be null) gets, per listed slave, its write's working counter or NoFrame.
void StateRequestAll(MasterContext* master, const uint16_t* slaves, int count, uint16_t requested_state,
                     int32_t* written = nullptr);
// StateCheck for every listed slave at once: the AL status of all slaves not yet in the
// state is polled in packed frames about every millisecond until each is in it or the
// timeout passed. Each record takes its last poll's state and code. Returns how many
// reached the state. With kStopOnError a slave whose AL status shows the error
// indication (bit 4) in another state is done at once: it refused the request and will
// follow no request until the error is acknowledged, so waiting out the timeout would
// only delay the answer.
enum class StateWait { kUntilTimeout, kStopOnError };
int StateCheckAll(MasterContext* master, const uint16_t* slaves, int count, uint16_t requested_state,
                  int32_t timeout_us, StateWait wait = StateWait::kUntilTimeout);

// DL status register: a port is active when its loop is open and communication is
// established. `topology` counts the active ports, `active_ports` has bit n for port n.
void DecodeDlStatus(uint16_t dl_status, uint8_t* topology, uint8_t* active_ports);
