// SII EEPROM of a simulated slave, behind the ESC's EEPROM interface 0x0500-0x050F.
// The layer's files: eeprom_interface.cpp (the interface and its faults),
// eeprom_image_file.cpp (image files), eeprom_edits.cpp (image edits for tests and
// options), eeprom_options.cpp (ecsim options).
//
// The interface behaves as a slave controller's does:
//   0x0500  EEPROM configuration, written by the master: bit 0 offers the EEPROM to the
//           PDI, bit 1 forces access back to the EtherCAT side (clears 0x0501 bit 0).
//           Kept in register memory as written, so the firmware layer reads it there.
//   0x0501  PDI access state, read-only: bit 0 = the PDI holds the EEPROM. Only a test
//           (SimEepromPdiTakesAccess) makes the PDI take it; while it holds it, the
//           master's writes to 0x0502-0x050F are ignored.
//   0x0502  control/status. Written: bits 8-10 command (0 clear error bits, 1 read,
//           2 write, 4 reload; others are refused with the command error bit), bit 0
//           write enable, needed in the same write as a write command (else error bit
//           0x4000, nothing written). Read: bit 6 = 8 bytes per read, bits 8-10 the
//           command in progress, 0x0800 checksum error of words 0-7 (set at power-on and
//           reload, not cleared by command 0), 0x2000 acknowledge/command error,
//           0x4000 write-enable error, 0x8000 busy.
//   0x0504  EEPROM word address (32 bits; wraps around at the end of the EEPROM, 2048
//           words by default, up to 32768 words with --eeprom-size).
//   0x0508  data: the 4 or 8 bytes of the last read, or the word to write.
// A command is taken when a write covers byte 0x0503; a command, address or data written
// while the interface is busy is ignored, as on a real ESC. A read, write or reload
// command keeps the interface busy for its latency; its effect (data loaded, word
// written, header reloaded, or the NACK bit) appears when the busy time ends. Time is
// evaluated lazily, whenever the interface registers are touched.
//
// Default latencies are those of a typical I2C EEPROM behind an ESC: a read of 4 or 8
// bytes takes about 250 us, a page write cycle 5 ms, a reload of the header 1 ms.
#pragma once
#include <cstddef>
#include <cstdint>

#include "sim/register_hooks.h"
#include "sim/sii_image.h"
#include "wire/esc_registers.h"

struct SimSlave;
struct SimSegment;

enum {
    kSimEepromWords = kSiiImageWords,  // the default size: 4 KiB
    kSimEepromMaxWords = 32768,        // the largest: 64 KiB
    kSimEepromMinWords = 1024,         // the smallest: 2 KiB (16 Kbit)
    kSimEepromPathBytes = 512,
    kSimEepromReadLatencyUs = 250,
    kSimEepromWriteLatencyUs = 5000,
    kSimEepromReloadLatencyUs = 1000,
};

struct SimEepromFaults {
    int nack_first;            // commands still to be answered with NACK
    int nack_writes_first;     // write commands still to be answered with NACK (reads pass)
    bool nack_all;             // every command is answered with NACK
    bool nack_writes_all;      // every write command is answered with NACK (reads pass)
    bool busy_stuck;           // a started command never finishes
    int no_answer_register;    // reads covering this register (2 bytes) are not executed; -1 none
    int vanish_after_writes;   // the slave drops off the line after this many write commands; 0 never
    int vanish_at_write;       // the slave drops off the line as this write command arrives, which is
                               // then never carried out (1: before the first write); 0 never
                               // Either vanishing fault fires once.
    bool come_back;            // a slave that dropped off the line through one of the two faults
    uint32_t come_back_after_ms;  // above is back on it this long after it dropped off
    // A damaged area: reads and writes of words first .. first + count - 1 are NACKed.
    uint16_t bad_words_first;
    uint16_t bad_words_count;
};

struct SimEepromCounters {
    uint32_t commands;          // read, write and reload commands taken
    uint32_t reads;
    uint32_t writes;            // write commands taken (NACKed ones included)
    uint32_t words_written;     // words actually stored
    uint32_t nacks;
    uint32_t data_writes;       // writes into the data register that were taken
    uint32_t ignored_while_busy;
    uint32_t write_enable_errors;
};

struct SimEeprom {
    uint16_t words[kSimEepromMaxWords];  // the first word_count hold the EEPROM
    uint32_t word_count;                 // 0 is read as kSimEepromWords
    bool eight_byte_reads;
    uint32_t read_latency_us;
    uint32_t write_latency_us;
    uint32_t reload_latency_us;
    SimEepromFaults faults;
    SimEepromCounters counters;
    SimSegment* segment;  // set by SimEepromAttach; needed by the vanishing fault

    // Interface state; register bytes 0x0501-0x050F are refreshed from it.
    uint8_t pdi_access;
    uint16_t error_bits;   // 0x0800, 0x2000, 0x4000 as reported
    uint32_t address;
    uint8_t data[8];
    uint8_t command;       // 0 idle, else the command in progress (1, 2, 4)
    bool command_nacked;
    uint16_t write_value;
    uint32_t command_address;
    uint64_t busy_until_us;
    uint32_t accepted_writes;  // write commands taken without NACK, for the vanishing faults
    bool vanish_fired;         // one of the vanishing faults has fired (each fires once)
    bool off_line;             // dropped off the line through a vanishing fault and not back yet
    uint64_t off_line_since_us;

    // Image file (empty path: none). Changes are written through to it.
    char path[kSimEepromPathBytes];
    int file_bytes;
    bool unsaved;
};

// True when words 0-7 carry a valid CRC-8 in word 7.
bool SimSiiHeaderValid(const SimEeprom* eeprom);
// Power-on state of the EEPROM interface registers (checksum error, read size).
void SimEepromPowerOn(SimSlave* slave);
// Resets the EEPROM to the default image of a slave at `position`, with default
// latencies, no faults and no file.
void SimEepromDefaultImage(SimEeprom* eeprom, int position);
// The come-back fault: every slave that dropped off the line through a vanishing fault
// and whose come-back time has passed at `now_us` (SimNowMicros time) is on the line
// again. The line is then whole up to the first slave still off it; the slaves behind a
// returning one answer again with it. A returning slave kept its power: registers,
// station address and EEPROM interface are as they were, and a write cycle it had begun
// before it dropped off has completed. The segment calls this for every frame while a
// slave is off the line; tests call it with the time they want.
void SimEepromComeBackAt(SimSegment* segment, uint64_t now_us);
// The layer's register hooks (sim/register_hooks.h). The interface hook brings the
// registers 0x0500-0x050F up to date before a read and acts on writes; it powers the
// interface on. The no-answer hook looks at every read: one covering the register of
// the no-answer fault is not executed.
extern const SimRegisterHook kSimEepromInterfaceHook;
extern const SimRegisterHook kSimEepromNoAnswerHook;

// ecsim options of the EEPROM layer, each `--name VALUE` (the leading dashes may be
// left out; sim_options.h lists them with their help). Returns 1 when the option was
// taken, 0 when it is not an EEPROM option, -1 when its value is invalid or an image
// file cannot be had (the reason in errbuf; nothing is printed). With check_only the
// value is checked against the segment as it is, and nothing changes.
int SimEepromApplyOption(SimSegment* segment, const char* option, const char* value, bool check_only, char* errbuf,
                         size_t errbuf_size);
// The same, applied at once, with a refusal printed to standard error.
int SimEepromParseOption(SimSegment* segment, const char* option, const char* value);
// Finishes commands still in progress and writes images that changed back to their
// files (ecsim calls it at exit). The quiet form prints nothing and returns false, the
// last failure in errbuf (which may be null), when an image could not be written.
void SimEepromSaveAll(SimSegment* segment);
bool SimEepromSaveAllQuietly(SimSegment* segment, char* errbuf, size_t errbuf_size);
// Prints words 0-7 of an image file as eight 4-digit hex words on one line; returns 0,
// or 1 with a message on standard error when the file cannot be read.
int SimEepromPrintHeader(const char* path);

// Helpers for tests and options. Image edits keep the header checksum as it was unless
// they say otherwise, and are written through to the slave's file if it has one. The
// alias and PDI control registers follow the image only after a power-on or reload.
void SimEepromAttach(SimSegment* segment);  // back pointers of every slave's EEPROM
void SimEepromSetName(SimSlave* slave, const char* name);  // null: no strings category
void SimEepromSetIdentity(SimSlave* slave, uint32_t vendor, uint32_t product, uint32_t revision);
void SimEepromSetMailbox(SimSlave* slave, uint16_t write_offset, uint16_t write_size, uint16_t read_offset,
                         uint16_t read_size, uint16_t protocols);
void SimEepromSetMailboxSize(SimSlave* slave, uint16_t bytes);  // both, write mailbox at 0x1000
void SimEepromSetGeneral(SimSlave* slave, const SiiGeneral& general);
void SimEepromRemoveGeneral(SimSlave* slave);
void SimEepromSetWord(SimSlave* slave, uint16_t word, uint16_t value);  // raw, checksum untouched
void SimEepromSetAlias(SimSlave* slave, uint16_t alias);  // word 4, checksum recomputed
void SimEepromUpdateChecksum(SimSlave* slave);
void SimEepromSetEightByteReads(SimSlave* slave, bool eight);
void SimEepromSetLatency(SimSlave* slave, uint32_t read_us, uint32_t write_us);
void SimEepromPdiTakesAccess(SimSlave* slave);  // the PDI holds the EEPROM (0x0501 bit 0)
// Loads an image file into the slave (a missing file is created from the current image,
// as large as the EEPROM) and binds the file for write-back. A file longer than the
// EEPROM is refused: its tail would be lost at the next write-back. Returns false with a
// message on standard error when it cannot; the quiet form leaves the message in errbuf.
bool SimEepromBindFile(SimSlave* slave, const char* path);
bool SimEepromBindFileQuietly(SimSlave* slave, const char* path, char* errbuf, size_t errbuf_size);
// The EEPROM's size: 2048 to 65536 bytes, a power of two (false for any other). Words
// beyond the old size read as erased EEPROM (0xFFFF); word 0x3E is set to the size in
// Kbit - 1, the header checksum kept (it does not cover that word).
bool SimEepromSetSize(SimSlave* slave, uint32_t bytes);
uint32_t SimEepromWordCount(const SimEeprom* eeprom);
// Power-on of the slave again: registers, alias and PDI control from the image.
void SimEepromRepowerOn(SimSlave* slave);
