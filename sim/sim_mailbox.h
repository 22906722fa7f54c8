// SyncManager mailboxes, AL state machine and mailbox firmware of a simulated slave.
// The layer's files: syncmanager_mailbox.cpp (the ESC part), mailbox_firmware.cpp (the
// firmware), al_state.cpp (the AL state machine), mailbox_options.cpp (ecsim options).
//
// The ESC part works like the hardware: a SyncManager in mailbox mode turns its buffer
// full when the writer covers the last byte and empty when the reader does; the master
// cannot write into a full write mailbox nor read an empty read mailbox (the access is
// not executed and not counted). The firmware part runs in PRE-OP and above: it takes
// each request out of the write mailbox (SyncManager 0), hands CoE messages to the SDO
// server (sim_coe) and puts the answers into the read mailbox (SyncManager 1), lazily:
// an answer appears once it is due, at the next access to the slave. No threads.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/register_hooks.h"
#include "sim/sim_coe.h"

struct SimSlave;
struct SimSegment;

enum {
    kSimMailboxMessageBytes = 1486,  // largest message the firmware handles
    kSimMailboxMinimumBytes = 16,    // smallest mailbox it serves: the 6-byte mailbox header, the
                                     // CoE header and an SDO command with 4 bytes of data
    kSimMailboxQueue = 6,            // answers waiting for the read mailbox
    kSimSyncManagers = 8,
};

// AL status codes the firmware reports.
enum : uint16_t {
    kAlCodeInvalidStateChange = 0x0011,
    kAlCodeUnknownState = 0x0012,
    kAlCodeBootstrapNotSupported = 0x0013,
    kAlCodeInvalidMailboxConfig = 0x0016,
    kAlCodeEepromNoAccess = 0x0050,
};

// Mailbox error reply details.
enum : uint16_t {
    kMbxErrorUnsupportedProtocol = 0x0002,
    kMbxErrorServiceNotSupported = 0x0004,
    kMbxErrorSizeTooShort = 0x0006,
    kMbxErrorNoMoreMemory = 0x0007,
    kMbxErrorInvalidSize = 0x0008,
};

struct SimMailboxMessage {
    uint16_t length;  // bytes of the message, header included
    bool lose_first_read;
    uint64_t due_us;
    uint8_t bytes[kSimMailboxMessageBytes];
};

// Faults, each counted down as it strikes. Set by options or by tests.
struct SimMailboxFaults {
    int emergencies;       // the next N requests get an emergency before their answer
    int mailbox_errors;    // the next N requests get a mailbox error reply before their answer
    int lose_first_reads;  // the next N answers lose their first read on the way to the master
    int refuse_reads;      // the next N reads of a full read mailbox are not executed (lost on the way in)
    bool stalls;           // when set: answer `answers_before_stall` more requests, then none
    int answers_before_stall;
    uint32_t delay_us;     // every answer is due this long after its request
    bool reads_sii_on_preop;  // INIT -> PRE-OP needs the EEPROM offered to the PDI
};

// One register access seen by the slave, for tests.
struct SimAccess {
    bool write;
    uint16_t address;
    uint16_t length;
    bool executed;
};

struct SimMailbox {
    // AL state machine, mirrored into 0x0130 and 0x0134.
    uint8_t al_state;
    bool al_error;
    uint16_t al_status_code;
    // SyncManager hardware, mirrored into the status (0x0805 + 8n) and PDI control
    // (0x0807 + 8n) bytes.
    bool sm_enabled[kSimSyncManagers];
    bool sm_full[kSimSyncManagers];
    uint8_t sm_repeat_request[kSimSyncManagers];  // last repeat request bit seen (0/1)
    uint8_t sm_repeat_ack[kSimSyncManagers];
    // Firmware.
    bool firmware_running;
    uint8_t last_request_counter;  // a write carrying the same counter again is a repeat
    uint8_t reply_counter;
    SimMailboxMessage queue[kSimMailboxQueue];
    int queue_head;
    int queue_count;
    SimMailboxMessage placed;     // what the read mailbox holds
    SimMailboxMessage last_read;  // what the master read last, for the repeat request
    bool has_last_read;
    SimMailboxFaults faults;
    SimCoeServer coe;
    // Scripted answers for tests: each request is answered by the next one instead of
    // the SDO server (the type and counter are set by the firmware unless `raw`).
    std::vector<std::vector<uint8_t>> scripted;
    bool scripted_raw;
    // Observation for tests.
    bool keep_requests;
    std::vector<std::vector<uint8_t>> requests;  // every request taken, as written
    bool keep_trace;
    std::vector<SimAccess> trace;
    uint64_t requests_taken;
    uint64_t repeats_served;
};

// Power-on state: INIT, SyncManagers off, mailboxes empty; the object dictionary and
// fault settings survive.
void SimMailboxPowerOn(SimSlave* slave);
// The layer's register hooks (sim/register_hooks.h).
// Mailbox areas: every access lets the firmware run first; a read of an empty read
// mailbox or a write into a full write mailbox is not executed (not counted, nothing
// transferred); a read that covers the read mailbox's last byte empties it.
extern const SimRegisterHook kSimMailboxAreasHook;
// AL control 0x0120: state requests; powers the application layer on (INIT,
// SyncManagers off, mailboxes empty).
extern const SimRegisterHook kSimAlControlHook;
// SyncManager registers 0x0800-0x083F: enabling, disabling, repeat requests.
extern const SimRegisterHook kSimSyncManagerHook;
// The write mailbox: a write that covers its last byte fills it.
extern const SimRegisterHook kSimMailboxWriteAreaHook;

// Queues a message for the read mailbox as the firmware would (tests): `length` bytes
// from `message`, due after delay_us. The counter is filled in unless raw.
void SimMailboxQueueMessage(SimSlave* slave, const uint8_t* message, int length, uint32_t delay_us, bool raw = false);

// ecsim options of the mailbox and firmware layer; same contract as the EEPROM layer's
// (sim_eeprom.h): 1 taken, 0 not a mailbox option, -1 bad value with the reason in
// errbuf; check_only changes nothing. The Parse form applies at once and prints a
// refusal to standard error.
int SimMailboxApplyOption(SimSegment* segment, const char* option, const char* value, bool check_only, char* errbuf,
                          size_t errbuf_size);
int SimMailboxParseOption(SimSegment* segment, const char* option, const char* value);
