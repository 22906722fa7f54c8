// The station-alias dialog of the console tool: shows slave 1 and its config_id (SII
// word 4), takes a new value from the operator, writes word 4 and the recomputed
// header checksum (word 7), reads back and reports.
#pragma once
#include <cstdint>
#include <cstdio>

#include "slave/alias_write.h"
#include "tool/console_text.h"
#include "tool/operator_input.h"

enum {
    kAliasWord = kSiiAliasWord,        // SII word holding the configured station alias
    kChecksumWord = kSiiChecksumWord,  // SII word whose low byte holds the header checksum
    kHeaderWords = kSiiHeaderWordCount,  // words 0-7, shown in the two dumps
    kWriteAttemptLimit = 100, // the two write loops stop once their shared count passes this
    kWordReadTries = 5,       // reads of one EEPROM word before the dialog takes it as unreadable
};

// Why a write loop gave up, as a look at the EEPROM interface just afterwards tells.
using WriteStop = AliasWriteStop;

// What one run of the dialog did, for the wrapper and for tests.
struct AliasDialogOutcome {
    uint16_t current_config_id;  // word 4 before writing
    uint16_t new_config_id;      // the operator's value (0 when none was accepted)
    OperatorInput input;         // how the operator's line was judged
    bool input_accepted;         // a whole number 0..65535 was read
    bool header_read;            // every word 0-6 of the first dump was read
    int unreadable_word;         // the first of words 0-6 the first dump could not read; -1 none
    uint16_t old_alias;          // word 4 as the first dump read it
    uint8_t header[2 * kHeaderWords];  // words 0-7 as dumped, word 4 replaced by the new value
    uint8_t checksum;            // CRC-8 over header bytes 0-13
    int attempts;                // EEPROM write calls of both loops together
    bool alias_written;          // word 4 acknowledged
    bool checksum_written;       // word 7 acknowledged
    WriteStop write_stop;        // why the write loop that gave up did so
    bool header_read_back;       // the second dump read words 0-7 as written (checksum in word 7)
    uint16_t second_dump[kHeaderWords];  // words 0-7 after writing, as read
    uint8_t second_dump_read;    // bit n: word n of the second dump was read
    uint16_t read_back;          // word 4 read after writing (0 when that read failed)
    bool read_back_ok;           // the read-back delivered EEPROM data
    bool passed;                 // the verdict the operator was shown
};

// Runs the dialog's steps once against slave 1 of the brought-up network: reads the
// operator's number from `in`, writes every message to `out` in `encoding`, and returns.
// The alias is written by the shared write-and-verify code (slave/alias_write.h), with
// force, so a header whose checksum is already wrong is repaired. Nothing is written to
// the EEPROM when no whole number 0..65535 was given or when a header word could not be
// read (each word is read up to kWordReadTries times); word 7 is written only after
// word 4 was. SIGINT and SIGTERM are held while the two words are
// written and delivered once both write loops are over, so an interruption cannot split
// the pair. When the run fails, one English line on `err` says why and, where the
// EEPROM may be left with a checksum that does not match, how to repair it (see
// alias_repair_hint.h); `out` carries the dialog's messages only.
AliasDialogOutcome RunAliasDialog(FILE* in, FILE* out, ConsoleEncoding encoding, FILE* err = stderr);
