// SII EEPROM reads and writes on many slaves at once.
//
// Every slave's EEPROM interface runs its own state machine (hand-over from the PDI,
// wait for an idle interface, clear old errors, data register, command, status polls,
// data read, hand-back), and all of them advance together: in each round the datagrams
// of every slave that is ready are packed into as few frames as the datagram limit
// allows, sent with several frames in flight, and each slave's machine takes its own
// datagrams' answers. Slaves whose EEPROM is still working are left out of a round
// until their next poll is due. A slave that NACKs, stays busy or no longer answers
// fails alone; the others finish.
//
// The rules of the single-slave path hold for every slave: "not busy" is only believed
// from an answered status read; a read command counts only once acknowledged, and a
// data register read only once answered (nothing is kept from a failed read); a write
// command is sent only after the slave acknowledged the data register write, and counts
// as done only when an answered status read shows it finished without error; a command
// whose every attempt went unanswered is neither a read nor a write. Jobs of one slave
// run one after the other in list order; a write job that failed leaves the slave's
// later write jobs undone (no word 7 after a failed word 4): they end kSiiSkipped.
//
// Round trips are spared where the rules allow: a read's poll is one datagram (status,
// address, data); behind it goes the read command for the slave's next word, which the
// slave runs only when that poll found the interface idle; the wait after a command
// counts from its send; and a slave whose last answered status (of this master, with
// nothing commanded since) showed the interface idle starts its next read with the
// command. Wherever a command of ours may not be the one the interface ran, the poll's
// address register must show our word before its data count.
//
// A caller that holds every slave of the segment for the call (the scan) may let the
// read commands of a round that many slaves share go out as one broadcast write
// (kSiiWholeSegment): behind every poll of the round, so it reaches each slave after
// its poll was read. A busy interface ignores it, an idle one starts the read (also on
// slaves with no job of this word, or none at all: a read has no effect but on the
// interface's registers). So in this mode every read's poll must show the word's
// address before its data count, and data are taken only from a poll that carried
// status, address and data together. Writes are never broadcast. A round in which some
// slave sends no command of its own sends no broadcast (it would find that slave's
// interface idle), nor does a round while a slave whose word a broadcast overtook is
// still at work: no slave is kept from its own words.
//
// Time comes from the installed clock; the engine keeps its state in fixed arrays,
// allocated once per call, never per exchange. Jobs of one call on one master must not be mixed with other SII
// access to the same slaves while the call runs (calls on other slaves may run beside).
#pragma once
#include <cstdint>

struct MasterContext;

// What became of a job.
enum SiiJobStatus : int32_t {
    kSiiPending = 1,       // not run yet (set by the engine at the start)
    kSiiDone = 0,          // every word read (or written and confirmed)
    kSiiNoAnswer = -1,     // the slave stopped answering (every attempt of a datagram, or
                           // every status poll up to the deadline, went unanswered)
    kSiiBusy = -2,         // the interface answered, but stayed busy up to the deadline
    kSiiNack = -3,         // the EEPROM refused the command on every pass
    kSiiBadJob = -4,       // slave outside the table or words beyond 65535: nothing sent
    kSiiSkipped = -5,      // an earlier write job of the same slave failed: nothing sent
    kSiiNoMemory = -6,     // the engine's work space could not be had: nothing sent
    kSiiLongChain = -7,    // a category walk met more categories than an EEPROM can hold
};

// One word range of one slave. Reads fill `words` (only words really read; the rest of
// the buffer keeps what it held); writes take their values from it.
struct SiiJob {
    uint16_t slave;       // position in the slave table, 1-based
    uint16_t first_word;
    uint16_t word_count;
    uint16_t* words;
    // Results.
    int32_t status;         // SiiJobStatus
    uint16_t words_done;    // words read, or written and confirmed, from first_word on
    uint16_t commands;      // EEPROM commands the slave acknowledged (writes: attempts)
};

// What a call cost on the wire.
struct SiiTally {
    uint32_t rounds;       // rounds of packed frames
    uint32_t frames;
    uint32_t round_trips;
    uint32_t datagrams;
};

enum {
    // Slaves one call works on at once (jobs of more slaves wait for a free place).
    kSiiEngineSlots = 256,
    // Datagrams one round may carry: four per slave at most.
    kSiiRoundDatagrams = 4 * kSiiEngineSlots,
};

// Who a read command goes to: each slave alone, or (the caller holds every slave of
// the segment) one broadcast for the slaves of a round that read the same word.
enum SiiReach { kSiiEachSlave = 0, kSiiWholeSegment = 1 };

// Reads every job's range (4 or 8 bytes per EEPROM command, as each interface reports).
// Returns the number of jobs that ended kSiiDone; each job's status says why it did not.
// An EEPROM the PDI held is given back to it after the slave's last job.
int SiiReadMany(MasterContext* master, SiiJob* jobs, int job_count, SiiTally* tally,
                SiiReach reach = kSiiEachSlave);
// SiiReadMany with one command per word: a NACK, an interface that stays busy or a
// command that goes unanswered ends the job at once (no further pass, no fresh start).
// The bring-up reads this way, as its one-slave split reads did.
int SiiReadManyOnce(MasterContext* master, SiiJob* jobs, int job_count, SiiTally* tally);
// Writes every job's words, one EEPROM write command per word, each confirmed by an
// answered status without error. The SII cache (single-slave path) is dropped for the
// slaves written. Returns the number of jobs that ended kSiiDone. A write is not read
// back here: callers that verify read the range with SiiReadMany afterwards.
int SiiWriteMany(MasterContext* master, SiiJob* jobs, int job_count, SiiTally* tally);

// A walk of one slave's category chain, from the first category header (word 0x40) on.
struct SiiCategorySearch {
    uint16_t slave;
    uint16_t category_type;  // the type sought
    uint32_t word_limit;     // words of the EEPROM: a header at or past it ends the chain
    // Results.
    int32_t status;       // kSiiDone when the walk ended readably (found or not), else why
    uint32_t data_word;   // first word of the category's data; 0 when the chain has none
    uint16_t data_words;  // the category's length word
};
enum { kSiiFirstCategoryWord = 0x40, kSiiMaxCategories = 512 };
// Walks the chains of all searches at once, one header (type and length, read together)
// per slave and round. A type 0xFFFF or a header past word_limit ends a chain without
// the category (kSiiDone, data_word 0). Returns the number of searches that found theirs.
int SiiFindCategoryMany(MasterContext* master, SiiCategorySearch* searches, int count, SiiTally* tally,
                        SiiReach reach = kSiiEachSlave);

// A short name of a job status for messages ("done", "no answer", "busy", "NACK", ...).
const char* SiiJobStatusText(int32_t status);
