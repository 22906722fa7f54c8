// Writing a slave's station alias into its SII EEPROM and checking it: the one code
// path behind ec_alias_set and the console tool's dialog.
//
// The alias lives in SII word 4; the low byte of word 7 is a CRC-8 over words 0-6 that
// the slave controller checks when it loads words 0-7 at power-on. A word 4 without its
// matching word 7 leaves a slave that rejects its whole configuration area, so the two
// are written as a pair: word 7 never after a failed word 4, and nothing at all when the
// words the checksum covers cannot be read.
#pragma once
#include <cstdint>

struct MasterContext;

enum {
    kSiiAliasWord = 4,        // configured station alias
    kSiiChecksumWord = 7,     // low byte: CRC-8 over words 0-6
    kSiiHeaderWordCount = 8,  // words 0-7, read before and after writing
};

// How hard to try, and the choices in which the dialog and the library differ.
struct AliasWriteLimits {
    int word_read_tries;           // reads of one word before it counts as unreadable (at least 1)
    uint32_t read_retry_gap_us;    // wait before a read is made again
    int word_write_tries;          // write commands per word; 0: no bound of its own
    int shared_write_limit;        // both words stop once the shared count passes this; 0: none
    bool checksum_high_byte_zero;  // word 7 written as the checksum byte alone (else its high byte is kept)
    bool force;                    // write over a stored checksum that is already wrong
    bool read_register;            // read ESC register 0x0012 afterwards
};

enum class AliasWriteStatus : uint8_t {
    kVerified,          // both words written and words 0-7 read back as written
    kHeaderUnreadable,  // one of words 0-6 could not be read: nothing written
    kChecksumWrong,     // the stored checksum did not match and force was not given: nothing written
    kWriteFailed,       // a write gave up (write_stop says why); words 0-7 were read back
    kNotVerified,       // both writes acknowledged, but words 0-7 did not all read back as written
};

// Why a write gave up, from one look at the EEPROM interface just afterwards.
enum class AliasWriteStop : uint8_t {
    kNone,         // no write gave up
    kNoAnswer,     // the slave did not answer (off the line, powered down, frames lost)
    kRefused,      // the EEPROM interface reports an error for the last command (NACK)
    kBusy,         // the EEPROM interface stayed busy
    kUnconfirmed,  // the interface answers idle and without error, yet no write was confirmed
};

struct AliasWriteResult {
    uint16_t before[kSiiHeaderWordCount];  // words 0-7 as read first (0 where unread)
    uint8_t before_read;                   // bit n: word n was read
    int unreadable_word;                   // the first of words 0-6 that could not be read; -1 none
    bool stored_checksum_ok;               // word 7's low byte matched words 0-6 before
    uint16_t image[kSiiHeaderWordCount];   // words 0-7 as they are to be: the new alias, its checksum
    bool write_tried;                      // the alias write was started
    bool alias_acknowledged;               // word 4 written
    bool checksum_acknowledged;            // word 7 written
    int attempts;                          // write commands sent for both words
    AliasWriteStop write_stop;             // why a write gave up
    uint16_t after[kSiiHeaderWordCount];   // words 0-7 as read back (0 where unread)
    uint8_t after_read;                    // bit n: word n was read back
    bool verified;                         // every word 0-7 read back equal to image
    bool register_read;                    // register 0x0012 was read (limits.read_register)
    uint16_t alias_register;               // its value: the alias loaded at the last power-on
};

// Called just before word 4 is written and once both writes are over (the dialog holds
// SIGINT and SIGTERM in between); either may be null.
struct AliasPairHooks {
    void (*pair_begins)(void* user);
    void (*pair_ends)(void* user);
    void* user;
};

// The CRC-8 over words 0-6 (low byte first) that belongs in the low byte of word 7.
uint8_t AliasHeaderChecksum(const uint16_t* words);

// Reads one EEPROM word of `slave` (its position in the slave table), trying up to
// limits.word_read_tries times. True with *value set when a read delivered data;
// false with *value 0 otherwise.
bool AliasReadWord(MasterContext* master, uint16_t slave, uint16_t word, const AliasWriteLimits& limits,
                   uint16_t* value);

// Reads words 0-7 into `words` (0 where unread) and returns the mask of words read.
uint8_t AliasReadHeader(MasterContext* master, uint16_t slave, const AliasWriteLimits& limits, uint16_t* words);

// Sets the alias of `slave` to `value`: reads words 0-7, refuses when one of words 0-6
// is unreadable (force does not change this) or when the stored checksum is wrong and
// not forced, writes word 4 and then, only when word 4 was written, the recomputed
// checksum into word 7; reads words 0-7 back once a write was tried. The EEPROM goes
// back to the PDI when it was there before. `result` is always filled (its image also
// for a refusal). A slave number outside the table (0 included) is an unreadable header,
// with nothing sent. The caller keeps other callers off this slave; the SII cache of the
// master is not touched (a caller that keeps one forgets the slave after a write).
AliasWriteStatus AliasWrite(MasterContext* master, uint16_t slave, uint16_t value, const AliasWriteLimits& limits,
                            const AliasPairHooks* hooks, AliasWriteResult* result);
