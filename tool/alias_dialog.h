// The station-alias dialog of the console tool: shows slave 1 and its config_id (SII
// word 4), takes a new value from the operator, writes word 4 and the recomputed
// header checksum (word 7), reads back and reports.
#pragma once
#include <cstdint>
#include <cstdio>

#include "tool/console_text.h"

enum {
    kAliasWord = 4,           // SII word holding the configured station alias
    kChecksumWord = 7,        // SII word whose low byte holds the header checksum
    kHeaderWords = 8,         // words 0-7, shown in the two dumps
    kWriteAttemptLimit = 100, // the two write loops stop once their shared count passes this
};

// What one run of the dialog did, for the wrapper and for tests.
struct AliasDialogOutcome {
    uint16_t current_config_id;  // word 4 before writing
    uint16_t new_config_id;      // the operator's value modulo 65536
    bool input_accepted;         // false: input ended or the number did not fit 32 bits
    bool header_read;            // every word 0-6 of the first dump was read
    uint8_t header[2 * kHeaderWords];  // words 0-7 as dumped, word 4 replaced by the new value
    uint8_t checksum;            // CRC-8 over header bytes 0-13
    int attempts;                // EEPROM write calls of both loops together
    bool alias_written;          // word 4 acknowledged
    bool checksum_written;       // word 7 acknowledged
    bool header_read_back;       // the second dump read words 0-7 as written (checksum in word 7)
    uint16_t read_back;          // word 4 read after writing (0 when that read failed)
    bool read_back_ok;           // the read-back delivered EEPROM data
    bool passed;                 // the verdict the operator was shown
};

// Runs the dialog's steps once against slave 1 of the brought-up network: reads the
// operator's number from `in`, writes every message to `out` in `encoding`, and returns.
// Nothing is written to the EEPROM when the number could not be taken or when a header
// word could not be read; word 7 is written only after word 4 was.
AliasDialogOutcome RunAliasDialog(FILE* in, FILE* out, ConsoleEncoding encoding);

// The console tool's dialog on standard input and output, in the encoding the locale
// asks for. Ends by waiting until the program is closed; never returns.
[[noreturn]] void AliasDialog();
