// The many-slave SII engine: one EEPROM interface state machine per slave, advanced in
// rounds of packed frames.
#include "slave/sii_engine.h"

#include <cstring>
#include <new>

#include "link/clock.h"
#include "link/datagram.h"
#include "slave/context.h"
#include "slave/eeprom.h"
#include "slave/packed_exchange.h"

namespace {

// How long a round's frames wait for their replies: 2 ms, doubled after a round that
// lost frames (up to 64 ms) and brought back towards four times the slowest reply after
// rounds that lost none. A loaded machine or a slave line with a backlog answers late;
// sending again at a fixed 2 ms would only add to the backlog.
constexpr uint32_t kReplyWaitUs = 2000;
constexpr uint32_t kLongestReplyWaitUs = 64000;
constexpr uint32_t kBusyTimeoutUs = 20000;
constexpr uint32_t kBusyPollGapUs = 200;
constexpr uint32_t kAfterReadCommandUs = 200;
constexpr uint32_t kAfterWriteCommandUs = 400;
constexpr uint32_t kAfterNackUs = 1000;
constexpr uint32_t kWordRetryGapUs = 25000;
// Runs due this little after a round starts go with it: sending a status poll a moment
// early costs one busy answer at worst, while a round of its own costs a round trip.
constexpr int64_t kRoundSlackUs = 100;
// A register access goes out up to 4 times at once; then, while its first attempt is
// less than kNoAnswerWindowUs ago, once a millisecond: on a loaded machine a slave line
// (or the process serving it) may be silent for several milliseconds, and a slave that
// has gone is told apart from that only by a silence this long.
constexpr int kDatagramAttempts = 4;
constexpr uint32_t kNoAnswerWindowUs = 20000;
constexpr uint32_t kAttemptGapUs = 1000;
constexpr int kNacksAllowed = 3;
// Whole-word tries: a word whose command went unanswered, or whose interface never
// showed itself idle, is started afresh this many times in all.
constexpr int kWordTries = 5;

constexpr uint8_t kConfigurationToPdi = 0x01;
constexpr uint8_t kConfigurationForceMaster = 0x02;
constexpr uint8_t kConfigurationMaster = 0x00;

enum class Step : uint8_t {
    kForceMaster,    // EEPROM configuration: force the EtherCAT side
    kReleaseForce,   // ... and release the force, the master keeps it
    kWaitIdle,       // status polls until an answered one shows the interface idle
    kClearErrors,    // control word 0: the error bits of an earlier command go
    kWriteData,      // data register (writes)
    kCommand,        // command word and word address in one datagram
    kPollStatus,     // status polls after the command (reads: with the data register)
    kReadData,       // data register alone, when the status poll could not carry it
    kHandBack,       // EEPROM configuration: offered to the PDI again
    kFinished,
};

struct SlaveRun {
    const ClockSource* clock;  // the master's clock
    int job;  // the job being worked on; -1: the run is free
    uint16_t slave;
    uint16_t station;
    Step step;
    bool write;
    bool was_at_pdi;
    bool eight_byte;        // the interface reads 8 bytes (from the last answered status)
    bool idle_and_clean;    // the last answered status showed idle and no error bits
    bool blind;             // the current word started on an earlier call's idle status:
                            // its poll must show this word's address
    bool ahead_sent;        // this round's poll carried the next word's command behind it
    bool check_address;     // a command for another word may have been taken meanwhile:
                            // the current word's poll must show its address
    uint8_t ahead_out[6];
    uint16_t ahead_word;    // the word that command reads
    int command_at;         // this round's read command in the list (-1: none) ...
    uint16_t command_word;  // ... and the word it reads
    bool command_shared;    // that command went out in the round's broadcast
    bool unshared;          // a broadcast overtook this slave's word (or did not take
                            // here): no broadcasts while this run lasts
    bool slave_failed;      // a job of this slave failed: its later jobs are skipped
    bool any_status_answer; // some status read of the current word was answered
    uint8_t attempts;       // of the current datagram
    TimeStamp attempts_since;  // when its first attempt went unanswered
    uint8_t nacks;
    uint8_t passes;
    uint8_t tries;
    uint16_t done;  // words of the current job done
    TimeStamp ready_at;
    TimeStamp deadline;
    // Round buffers: what the slave's datagrams carry out and bring back.
    uint8_t out[6];
    uint8_t status_bytes[2];
    uint8_t data_bytes[8];
    // A read's poll: status, address and data registers (0x0502-0x050F) in one datagram.
    uint8_t poll_bytes[14];
    int first_datagram;
    int datagram_count;
    uint8_t data_length;  // of the data read in this round's status poll (0: none)
};

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) { return Get16(p) | (static_cast<uint32_t>(Get16(p + 2)) << 16); }

// A command record for registers 0x0502-0x0507: command word and word address in one
// write, so the interface sees both at once.
void LayCommand(uint8_t* out, uint16_t command, uint16_t word) {
    const uint8_t record[6] = {static_cast<uint8_t>(command), static_cast<uint8_t>(command >> 8),
                               static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8), 0, 0};
    memcpy(out, record, sizeof record);
}

// Where the address and data registers sit in a read's poll (from 0x0502 on).
enum { kPollAddressAt = kRegEepromAddress - kRegEepromControl, kPollDataAt = kRegEepromData - kRegEepromControl };

struct Engine {
    MasterContext* master;
    SiiJob* jobs;
    int job_count;
    bool write;
    bool single_pass;
    SlaveRun runs[kSiiEngineSlots];
    PackedDatagram list[kSiiRoundDatagrams];
    SiiTally tally;
    uint32_t reply_wait_us;
    TimeStamp round_sent;  // when the current round's frames went out
    // kSiiWholeSegment: the read command most runs of a round share goes out once, as
    // a broadcast at the end of the round.
    bool shared_commands;
    uint8_t shared_out[6];
    int shared_at;           // the broadcast in this round's list, -1: none
    int32_t shared_result;   // its working counter, or NoFrame
};

bool JobValid(const MasterContext* master, const SiiJob& job) {
    if (job.slave < 1 || job.slave > master->slave_count || job.slave >= master->slave_table.capacity) return false;
    if (job.word_count > 0 && job.words == nullptr) return false;
    return static_cast<uint32_t>(job.first_word) + job.word_count <= 0x10000;
}

bool SlaveHasRun(const Engine& e, uint16_t slave) {
    for (const SlaveRun& run : e.runs)
        if (run.job >= 0 && run.slave == slave) return true;
    return false;
}

// The next pending job of the run's slave behind `after`, or -1.
int NextJobOfSlave(const Engine& e, uint16_t slave, int after) {
    for (int j = after + 1; j < e.job_count; j++)
        if (e.jobs[j].slave == slave && e.jobs[j].status == kSiiPending) return j;
    return -1;
}

void BeginWord(SlaveRun& run, Step first_step) {
    run.step = first_step;
    run.check_address = false;
    run.attempts = 0;
    run.nacks = 0;
    run.passes = 0;
    run.any_status_answer = false;
    run.ready_at = ClockNowOf(run.clock);
    run.deadline = DeadlineAfterOf(run.clock, kBusyTimeoutUs);
}

// The step that starts a command when the interface is known idle.
Step CommandStep(const SlaveRun& run) { return run.write ? Step::kWriteData : Step::kCommand; }

// After a word (or a job) finished: the next word starts without a status poll when the
// last answered status showed the interface idle and clean.
void NextWord(SlaveRun& run) {
    run.tries = 0;
    BeginWord(run, run.idle_and_clean ? CommandStep(run) : Step::kWaitIdle);
}

void StartJob(Engine& e, SlaveRun& run, int job) {
    run.job = job;
    run.done = 0;
    e.jobs[job].words_done = 0;
    e.jobs[job].commands = 0;
    if (e.jobs[job].word_count == 0) {
        run.step = Step::kFinished;  // settled by the next advance
        return;
    }
    NextWord(run);
}

void StartRun(Engine& e, SlaveRun& run, int job) {
    const SlaveRecord& record = e.master->slave_table[e.jobs[job].slave];
    run = SlaveRun{};
    run.clock = e.master->port.clock;
    run.slave = e.jobs[job].slave;
    run.station = record.config_address;
    run.write = e.write;
    run.was_at_pdi = record.eeprom_at_pdi != 0;
    run.eight_byte = record.eeprom_8byte_reads != 0;
    // An earlier call's last answered status of this slave showed the interface idle:
    // a read goes straight to its command. The knowledge is used once (taken away here,
    // given back by a run that ends with an idle answer), and the first word's poll must
    // show this word's address, else the word starts afresh with the wait. Writes always
    // wait first: a write command the interface ignored would pass for done.
    EepromReadTrack& track = e.master->eeprom_reads[run.slave];
    run.idle_and_clean = track.idle_seen != 0 && !e.write && !run.was_at_pdi;
    run.blind = run.idle_and_clean;
    track.idle_seen = 0;
    StartJob(e, run, job);
    if (run.was_at_pdi && run.step != Step::kFinished) BeginWord(run, Step::kForceMaster);
}

// Fills free runs with the first pending jobs of slaves that have none.
void FillRuns(Engine& e) {
    for (int j = 0; j < e.job_count; j++) {
        if (e.jobs[j].status != kSiiPending || SlaveHasRun(e, e.jobs[j].slave)) continue;
        SlaveRun* free_run = nullptr;
        for (SlaveRun& run : e.runs)
            if (run.job < 0) {
                free_run = &run;
                break;
            }
        if (free_run == nullptr) return;
        StartRun(e, *free_run, j);
    }
}

// The run's current job ended (status set): on to the slave's next job, or hand the
// EEPROM back and free the run.
void EndJob(Engine& e, SlaveRun& run, int32_t status) {
    SiiJob& job = e.jobs[run.job];
    job.status = status;
    job.words_done = run.done;
    // A failed write ends the slave's writes (no checksum word after a failed alias
    // word); a failed read does not keep the slave's other ranges from being read.
    if (status != kSiiDone && e.write) run.slave_failed = true;
    int next = NextJobOfSlave(e, run.slave, run.job);
    while (next >= 0 && run.slave_failed) {
        e.jobs[next].status = kSiiSkipped;
        next = NextJobOfSlave(e, run.slave, next);
    }
    if (next >= 0) {
        StartJob(e, run, next);
        return;
    }
    if (e.write) {
        SiiCache& cache = e.master->sii_cache;
        if (cache.cached_slave == run.slave) memset(cache.fill_map, 0, sizeof cache.fill_map);
    }
    if (run.was_at_pdi) {
        BeginWord(run, Step::kHandBack);
        return;
    }
    // The master keeps the EEPROM: the last answer is what the next call may start on.
    e.master->eeprom_reads[run.slave].idle_seen = status == kSiiDone && run.idle_and_clean ? 1 : 0;
    run.step = Step::kFinished;
}

void FreeRun(SlaveRun& run) {
    run.job = -1;
    run.step = Step::kFinished;
}

// The word failed on this pass: another pass while the NACK rule allows it, else the
// word starts afresh or, after kWordTries, the job fails.
void PassFailed(Engine& e, SlaveRun& run, int32_t reason) {
    if (e.single_pass) {
        EndJob(e, run, reason);
        return;
    }
    run.passes++;
    const bool another_pass = run.nacks >= 1 && run.nacks < kNacksAllowed && run.passes < kEepromMaxPasses;
    if (another_pass) {
        run.attempts = 0;
        run.step = CommandStep(run);
        return;
    }
    if (run.nacks >= kNacksAllowed) reason = kSiiNack;
    run.tries++;
    if (run.tries < kWordTries && reason != kSiiNack) {
        uint8_t tries = run.tries;
        BeginWord(run, Step::kWaitIdle);
        run.tries = tries;
        run.ready_at = DeadlineAfterOf(run.clock, kWordRetryGapUs);
        // The fresh start gets its whole wait for an idle interface from its first poll
        // on, not from before the gap (that left it one poll).
        run.deadline = TimeStampAdd(run.ready_at, kBusyTimeoutUs);
        return;
    }
    EndJob(e, run, reason);
}

// The word failed in a way no further pass of the same command mends.
void WordFailed(Engine& e, SlaveRun& run, int32_t reason) {
    run.passes = kEepromMaxPasses;
    PassFailed(e, run, reason);
}

// A datagram of the current step went unanswered: true when it is to go out again.
bool AttemptsLeft(SlaveRun& run) {
    if (run.attempts == 0) run.attempts_since = ClockNowOf(run.clock);
    if (run.attempts < 255) run.attempts++;
    if (run.attempts < kDatagramAttempts) return true;
    if (TimeStampReached(ClockNowOf(run.clock), TimeStampAdd(run.attempts_since, kNoAnswerWindowUs))) return false;
    run.ready_at = DeadlineAfterOf(run.clock, kAttemptGapUs);
    return true;
}

void StoreWords(Engine& e, SlaveRun& run, const uint8_t* bytes, int length) {
    SiiJob& job = e.jobs[run.job];
    run.blind = false;
    for (int k = 0; k + 1 < length && run.done < job.word_count; k += 2)
        job.words[run.done++] = Get16(bytes + k);
    if (run.done >= job.word_count) {
        EndJob(e, run, kSiiDone);
        return;
    }
    NextWord(run);
}

// Datagrams of the run's current step, appended to the round's list.
void AddDatagrams(Engine& e, SlaveRun& run, int* used) {
    auto add = [&](uint8_t command, uint16_t reg, uint16_t length, const void* out, void* in) {
        e.list[*used] = PackedDatagram{command, run.station, reg, length, out, in, 0};
        (*used)++;
    };
    run.first_datagram = *used;
    run.data_length = 0;
    run.ahead_sent = false;
    run.command_at = -1;
    run.command_shared = false;
    const SiiJob& job = e.jobs[run.job];
    const uint16_t word = static_cast<uint16_t>(job.first_word + run.done);
    switch (run.step) {
        case Step::kForceMaster:
            run.out[0] = kConfigurationForceMaster;
            add(CMD_FPWR, kRegEepromConfiguration, 1, run.out, nullptr);
            break;
        case Step::kReleaseForce:
            run.out[0] = kConfigurationMaster;
            add(CMD_FPWR, kRegEepromConfiguration, 1, run.out, nullptr);
            break;
        case Step::kHandBack:
            run.out[0] = kConfigurationToPdi;
            add(CMD_FPWR, kRegEepromConfiguration, 1, run.out, nullptr);
            break;
        case Step::kWaitIdle:
            memset(run.status_bytes, 0, sizeof run.status_bytes);
            add(CMD_FPRD, kRegEepromControl, 2, nullptr, run.status_bytes);
            break;
        case Step::kClearErrors:
            memset(run.out, 0, 2);
            add(CMD_FPWR, kRegEepromControl, 2, run.out, nullptr);
            break;
        case Step::kWriteData:
            run.out[0] = static_cast<uint8_t>(job.words[run.done]);
            run.out[1] = static_cast<uint8_t>(job.words[run.done] >> 8);
            add(CMD_FPWR, kRegEepromData, 2, run.out, nullptr);
            break;
        case Step::kCommand: {
            const uint16_t command = run.write ? kEepromCommandWrite : kEepromCommandRead;
            LayCommand(run.out, command, word);
            if (!run.write) {
                run.command_at = *used;
                run.command_word = word;
            }
            add(CMD_FPWR, kRegEepromControl, 6, run.out, nullptr);
            break;
        }
        case Step::kPollStatus: {
            if (run.write) {
                memset(run.status_bytes, 0, sizeof run.status_bytes);
                add(CMD_FPRD, kRegEepromControl, 2, nullptr, run.status_bytes);
                break;
            }
            // Status, address and data registers in one datagram: the slave copies them
            // in one pass, so the data are those of the finished read when the status
            // beside them says it finished.
            run.data_length = run.eight_byte ? 8 : 4;
            memset(run.poll_bytes, 0, sizeof run.poll_bytes);
            add(CMD_FPRD, kRegEepromControl, static_cast<uint16_t>(kPollDataAt + run.data_length), nullptr,
                run.poll_bytes);
            // Behind the poll, the command for the job's next word: the slave runs it only
            // when the interface is idle, that is when the poll just read says this word
            // is finished, and then a read takes one round trip instead of two. Busy, the
            // interface ignores it.
            // (The next word is the job's, or the first of the slave's next job.)
            int next_job = -1;
            if (run.done + run.data_length / 2 >= job.word_count) next_job = NextJobOfSlave(e, run.slave, run.job);
            const bool next_exists = run.done + run.data_length / 2 < job.word_count ||
                                     (next_job >= 0 && e.jobs[next_job].word_count > 0);
            if (!e.single_pass && next_exists) {
                const uint16_t next = next_job >= 0 ? e.jobs[next_job].first_word
                                                    : static_cast<uint16_t>(word + run.data_length / 2);
                run.ahead_word = next;
                LayCommand(run.ahead_out, kEepromCommandRead, next);
                run.command_at = *used;
                run.command_word = next;
                add(CMD_FPWR, kRegEepromControl, 6, run.ahead_out, nullptr);
                run.ahead_sent = true;
            }
            break;
        }
        case Step::kReadData:
            run.data_length = run.eight_byte ? 8 : 4;
            add(CMD_FPRD, kRegEepromData, run.data_length, nullptr, run.data_bytes);
            break;
        case Step::kFinished:
            break;
    }
    run.datagram_count = *used - run.first_datagram;
}

// A broadcast saves a datagram per slave only when several share it.
constexpr int kShareAtLeast = 2;

// kSiiWholeSegment: the read command of this round that most runs share (the same word)
// leaves the runs' datagrams and goes out once, as a broadcast write behind every other
// datagram of the round, so each slave meets it after its own poll and command. Returns
// the round's datagram count.
int ShareReadCommands(Engine& e, int used) {
    e.shared_at = -1;
    e.shared_result = NoFrame;
    // The majority word (if any word has one) by a single voting pass, then its count.
    uint16_t word = 0;
    int votes = 0;
    for (const SlaveRun& run : e.runs) {
        if (run.job < 0 || run.datagram_count == 0 || run.command_at < 0 || run.unshared) continue;
        if (votes == 0) word = run.command_word;
        votes += run.command_word == word ? 1 : -1;
    }
    // Only a round in which every run sends a read command: its own goes ahead of the
    // broadcast and keeps the interface busy when the broadcast arrives. A run without
    // one (waiting for an idle interface, after a command, for a place in the round)
    // would meet the broadcast with an idle interface and lose its word, perhaps round
    // after round: it stops the broadcasts until it sends a command again. So does a
    // slave whose word a broadcast overtook (its read ended between its poll and the
    // broadcast, which started another): it reads the rest of the call with none about,
    // so each slave loses at most one word to a broadcast.
    int sharing = 0;
    for (const SlaveRun& run : e.runs) {
        if (run.job < 0 || run.step == Step::kFinished) continue;
        if (run.unshared || run.datagram_count == 0 || run.command_at < 0) return used;
        if (run.command_word == word) sharing++;
    }
    if (sharing < kShareAtLeast) return used;
    // The list holds the runs' datagrams in run order: close the gaps in place.
    int kept = 0;
    for (SlaveRun& run : e.runs) {
        if (run.job < 0 || run.datagram_count == 0) continue;
        const bool shares = run.command_at >= 0 && !run.unshared && run.command_word == word;
        const int first = kept;
        for (int k = 0; k < run.datagram_count; k++) {
            const int at = run.first_datagram + k;
            if (shares && at == run.command_at) continue;
            e.list[kept++] = e.list[at];
        }
        run.first_datagram = first;
        run.datagram_count = kept - first;
        run.command_at = -1;
        run.command_shared = shares;
    }
    LayCommand(e.shared_out, kEepromCommandRead, word);
    e.shared_at = kept;
    e.list[kept++] = PackedDatagram{CMD_BWR, 0, kRegEepromControl, 6, e.shared_out, nullptr, 0};
    return kept;
}

// Takes the answers of the run's datagrams of this round.
void Advance(Engine& e, SlaveRun& run) {
    const PackedDatagram* d = e.list + run.first_datagram;
    const bool answered = run.datagram_count > 0 && d[0].result > 0;
    switch (run.step) {
        case Step::kForceMaster:
        case Step::kReleaseForce: {
            // As the single-slave hand-over: a configuration write is tried a few times,
            // and the master goes on with the EEPROM either way.
            if (!answered && AttemptsLeft(run)) return;
            if (run.step == Step::kForceMaster) {
                BeginWord(run, Step::kReleaseForce);
                return;
            }
            e.master->slave_table[run.slave].eeprom_at_pdi = 0;
            BeginWord(run, Step::kWaitIdle);
            return;
        }
        case Step::kHandBack:
            if (!answered && AttemptsLeft(run)) return;
            e.master->slave_table[run.slave].eeprom_at_pdi = 1;
            run.step = Step::kFinished;
            return;
        case Step::kWaitIdle: {
            if (answered) {
                run.any_status_answer = true;
                const uint16_t status = Get16(run.status_bytes);
                run.eight_byte = (status & kEepromStatusEightByte) != 0;
                if ((status & kEepromStatusBusy) == 0) {
                    run.idle_and_clean = (status & kEepromStatusErrorBits) == 0;
                    run.blind = false;
                    run.attempts = 0;
                    run.step = run.idle_and_clean ? CommandStep(run) : Step::kClearErrors;
                    return;
                }
            }
            if (DeadlinePassedOf(run.clock, run.deadline)) {
                // The interface never showed itself idle: no command is sent.
                WordFailed(e, run, run.any_status_answer ? kSiiBusy : kSiiNoAnswer);
                return;
            }
            run.ready_at = TimeStampAdd(e.round_sent, kBusyPollGapUs);
            return;
        }
        case Step::kClearErrors:
            if (!answered && AttemptsLeft(run)) return;
            // Cleared or not, as the single-slave path: the command's status tells.
            run.idle_and_clean = answered;
            run.attempts = 0;
            run.step = CommandStep(run);
            return;
        case Step::kWriteData:
            if (answered) {
                run.attempts = 0;
                run.step = Step::kCommand;
                return;
            }
            if (AttemptsLeft(run)) return;
            // Without an acknowledged data write the command would store stale contents.
            PassFailed(e, run, kSiiNoAnswer);
            return;
        case Step::kCommand:
            // A broadcast command counts as sent when its frame came back: whether this
            // interface took it, the poll's address register tells (every poll checks
            // it in this mode).
            if (run.command_shared ? e.shared_result > 0 : answered) {
                e.jobs[run.job].commands++;
                run.idle_and_clean = false;
                run.attempts = 0;
                run.step = Step::kPollStatus;
                // The EEPROM began when the command arrived: the gap counts from the send,
                // not from the reply (on a long line the reply alone may take longer).
                run.ready_at = TimeStampAdd(e.round_sent, run.write ? kAfterWriteCommandUs : kAfterReadCommandUs);
                run.deadline = TimeStampAdd(run.ready_at, kBusyTimeoutUs);
                return;
            }
            if (AttemptsLeft(run)) return;
            // Every attempt unanswered: the command may never have arrived, so whatever
            // the interface shows later belongs to an earlier command.
            PassFailed(e, run, kSiiNoAnswer);
            return;
        case Step::kPollStatus: {
            // The command behind the poll: taken for sure (acknowledged), or perhaps (its
            // frame's reply lost: the slave may have run it all the same).
            // (A broadcast one: taken as far as the master can tell when its frame came
            // back; the next poll's address check settles it.)
            const bool ahead_taken = run.ahead_sent && (run.command_shared ? e.shared_result > 0
                                                                           : run.datagram_count > 1 && d[1].result > 0);
            const bool ahead_maybe = run.ahead_sent && (run.command_shared ? e.shared_result != 0
                                                                           : run.datagram_count < 2 || d[1].result != 0);
            if (answered) {
                run.any_status_answer = true;
                const uint16_t status = Get16(run.write ? run.status_bytes : run.poll_bytes);
                // With broadcasts about, any idle interface may have taken one: every
                // poll checks.
                const uint16_t word = static_cast<uint16_t>(e.jobs[run.job].first_word + run.done);
                const uint32_t address = Get32(run.poll_bytes + kPollAddressAt);  // (reads only)
                if (e.shared_commands && !run.write && (status & kEepromStatusBusy) != 0 && address != word) {
                    // Busy with another word: a broadcast overtook this one.
                    run.unshared = true;
                    run.check_address = true;
                }
                if ((status & kEepromStatusBusy) == 0 && (run.blind || run.check_address || e.shared_commands)) {
                    // A command sent on an earlier call's idle status counts only when
                    // the interface shows this word's address: else something else
                    // commanded it meanwhile (our command may have been ignored), and
                    // the word starts afresh with the wait, counting no try. (A command
                    // the interface took reports its own errors, as any other.)
                    run.blind = false;
                    run.check_address = false;
                    if (address != word) {
                        const uint8_t tries = run.tries;
                        run.idle_and_clean = false;
                        // A broadcast overtook this slave's own command (or never took
                        // here): it reads alone from now on, with no broadcast about.
                        run.unshared = e.shared_commands;
                        BeginWord(run, Step::kWaitIdle);
                        run.tries = tries;
                        return;
                    }
                }
                if ((status & kEepromStatusBusy) == 0) {
                    if (status & kEepromStatusCommandErrors) {
                        run.nacks++;
                        run.idle_and_clean = false;
                        PassFailed(e, run, kSiiNack);
                        if (run.step == CommandStep(run)) {
                            run.ready_at = DeadlineAfterOf(run.clock, kAfterNackUs);
                            // The next word's command went in behind the refused one: the
                            // next pass waits for the interface (and clears its errors).
                            if (ahead_maybe) {
                                run.step = Step::kWaitIdle;
                                run.deadline = TimeStampAdd(run.ready_at, kBusyTimeoutUs);
                            }
                        }
                        return;
                    }
                    run.idle_and_clean = (status & kEepromStatusErrorBits) == 0;
                    const bool eight = (status & kEepromStatusEightByte) != 0;
                    if (run.write) {
                        run.done++;
                        if (run.done >= e.jobs[run.job].word_count)
                            EndJob(e, run, kSiiDone);
                        else
                            NextWord(run);
                        return;
                    }
                    if (eight == run.eight_byte) {
                        StoreWords(e, run, run.poll_bytes + kPollDataAt, run.data_length);
                        const bool ahead_is_next = run.step == CommandStep(run) && run.job >= 0 &&
                                                   e.jobs[run.job].first_word + run.done == run.ahead_word;
                        if (run.ahead_sent && run.step != Step::kFinished && !ahead_is_next && ahead_maybe) {
                            run.check_address = true;  // a command for another word may run
                        } else if (run.ahead_sent && ahead_is_next) {
                            if (ahead_taken) {
                                // The interface was idle when the next command came: it runs.
                                e.jobs[run.job].commands++;
                                run.idle_and_clean = false;
                                run.step = Step::kPollStatus;
                                run.ready_at = TimeStampAdd(e.round_sent, kAfterReadCommandUs);
                                run.deadline = TimeStampAdd(run.ready_at, kBusyTimeoutUs);
                            } else {
                                // Lost on the way, or not: the command goes again, and the
                                // poll tells whose read the interface ran.
                                run.check_address = true;
                            }
                        }
                        return;
                    }
                    if (ahead_maybe || e.shared_commands) {
                        // The data register may now fill with the next word (or with a
                        // broadcast's): this one is read afresh.
                        const uint8_t tries = run.tries;
                        run.eight_byte = eight;
                        run.idle_and_clean = false;
                        BeginWord(run, Step::kWaitIdle);
                        run.tries = tries;
                        return;
                    }
                    run.eight_byte = eight;
                    run.attempts = 0;
                    run.step = Step::kReadData;
                    return;
                }
            }
            // Unanswered or busy: a command sent behind the poll may still have been taken
            // (the poll lost, or the interface finished in between).
            if (ahead_maybe) run.check_address = true;
            if (DeadlinePassedOf(run.clock, run.deadline)) {
                PassFailed(e, run, run.any_status_answer ? kSiiBusy : kSiiNoAnswer);
                return;
            }
            run.ready_at = TimeStampAdd(e.round_sent, kBusyPollGapUs);
            return;
        }
        case Step::kReadData:
            if (answered) {
                StoreWords(e, run, run.data_bytes, run.data_length);
                return;
            }
            if (AttemptsLeft(run)) return;
            // The word was read by the EEPROM but its data never reached the master:
            // nothing is kept, and the word is read afresh.
            WordFailed(e, run, kSiiNoAnswer);
            return;
        case Step::kFinished:
            return;
    }
}

int RunEngine(MasterContext* master, SiiJob* jobs, int job_count, bool write, bool single_pass, SiiReach reach,
              SiiTally* tally) {
    if (master == nullptr || job_count < 0 || (job_count > 0 && jobs == nullptr)) return 0;
    // The engine's arrays (some 50 KiB) would crowd a small thread stack, and a static
    // one would bar calls on two masters at once: one is allocated per call, nothing
    // per exchange.
    Engine* e = new (std::nothrow) Engine;
    if (e == nullptr) {
        for (int j = 0; j < job_count; j++) jobs[j].status = kSiiNoMemory;
        return 0;
    }
    e->master = master;
    e->jobs = jobs;
    e->job_count = job_count;
    e->write = write;
    e->single_pass = single_pass;
    e->shared_commands = reach == kSiiWholeSegment && !write;
    e->shared_at = -1;
    e->shared_result = NoFrame;
    e->reply_wait_us = kReplyWaitUs;
    e->tally = SiiTally{};
    for (SlaveRun& run : e->runs) FreeRun(run);
    for (int j = 0; j < job_count; j++) {
        jobs[j].words_done = 0;
        jobs[j].commands = 0;
        jobs[j].status = JobValid(master, jobs[j]) ? kSiiPending : kSiiBadJob;
    }
    for (;;) {
        FillRuns(*e);
        // Settle runs with nothing to send (finished, or empty jobs).
        bool active = false;
        for (SlaveRun& run : e->runs) {
            if (run.job < 0) continue;
            if (run.step == Step::kFinished && e->jobs[run.job].status == kSiiPending) EndJob(*e, run, kSiiDone);
            if (run.step == Step::kFinished) {
                FreeRun(run);
                continue;
            }
            active = true;
        }
        if (!active) {
            bool pending = false;
            for (int j = 0; j < job_count; j++) pending = pending || jobs[j].status == kSiiPending;
            if (!pending) break;
            continue;
        }
        // The round: every run whose next datagram is due.
        const TimeStamp now = ClockNowOf(master->port.clock);
        int used = 0;
        int64_t soonest = -1;
        for (SlaveRun& run : e->runs) {
            run.datagram_count = 0;
            run.command_shared = false;
            if (run.job < 0 || run.step == Step::kFinished) continue;
            const int64_t wait = TimeStampMicrosBetween(now, run.ready_at);
            if (wait > kRoundSlackUs) {
                if (soonest < 0 || wait < soonest) soonest = wait;
                continue;
            }
            AddDatagrams(*e, run, &used);
        }
        if (used == 0) {
            WaitMicrosecondsOf(master->port.clock, static_cast<uint32_t>(soonest > 0 ? soonest : 1));
            continue;
        }
        if (e->shared_commands) used = ShareReadCommands(*e, used);
        PackedTally packed{};
        e->round_sent = ClockNowOf(master->port.clock);
        PackedExchange(&master->port, e->list, used, e->reply_wait_us, &packed);
        if (packed.frames_lost > 0) {
            e->reply_wait_us = e->reply_wait_us * 2 < kLongestReplyWaitUs ? e->reply_wait_us * 2 : kLongestReplyWaitUs;
        } else {
            const uint32_t enough = 4 * packed.slowest_reply_us;
            e->reply_wait_us = (e->reply_wait_us + (enough > kReplyWaitUs ? enough : kReplyWaitUs)) / 2;
        }
        e->tally.rounds++;
        e->tally.frames += packed.frames;
        e->tally.round_trips += packed.round_trips;
        e->tally.datagrams += packed.datagrams;
        if (e->shared_at >= 0) e->shared_result = e->list[e->shared_at].result;
        for (SlaveRun& run : e->runs)
            if (run.job >= 0 && (run.datagram_count > 0 || run.command_shared)) Advance(*e, run);
    }
    int done = 0;
    for (int j = 0; j < job_count; j++) done += jobs[j].status == kSiiDone ? 1 : 0;
    if (tally != nullptr) {
        tally->rounds += e->tally.rounds;
        tally->frames += e->tally.frames;
        tally->round_trips += e->tally.round_trips;
        tally->datagrams += e->tally.datagrams;
    }
    delete e;
    return done;
}

}  // namespace

int SiiReadMany(MasterContext* master, SiiJob* jobs, int job_count, SiiTally* tally, SiiReach reach) {
    return RunEngine(master, jobs, job_count, false, false, reach, tally);
}

int SiiReadManyOnce(MasterContext* master, SiiJob* jobs, int job_count, SiiTally* tally) {
    return RunEngine(master, jobs, job_count, false, true, kSiiEachSlave, tally);
}

int SiiWriteMany(MasterContext* master, SiiJob* jobs, int job_count, SiiTally* tally) {
    return RunEngine(master, jobs, job_count, true, false, kSiiEachSlave, tally);
}

const char* SiiJobStatusText(int32_t status) {
    switch (status) {
        case kSiiDone: return "done";
        case kSiiPending: return "not run";
        case kSiiNoAnswer: return "no answer";
        case kSiiBusy: return "EEPROM busy";
        case kSiiNack: return "EEPROM NACK";
        case kSiiBadJob: return "bad job";
        case kSiiSkipped: return "skipped after an earlier failure";
        case kSiiNoMemory: return "out of memory";
        case kSiiLongChain: return "category chain too long";
        default: return "unknown";
    }
}

int SiiFindCategoryMany(MasterContext* master, SiiCategorySearch* searches, int count, SiiTally* tally,
                        SiiReach reach) {
    if (master == nullptr || count <= 0 || searches == nullptr) return 0;
    struct Walk {
        uint32_t header;  // word of the next header to read
        int categories;
        bool active;
        uint16_t words[2];
    };
    Walk* walks = new (std::nothrow) Walk[count];
    SiiJob* jobs = new (std::nothrow) SiiJob[count];
    int* owners = new (std::nothrow) int[count];
    if (walks == nullptr || jobs == nullptr || owners == nullptr) {
        for (int n = 0; n < count; n++) searches[n].status = kSiiNoMemory;
        delete[] walks;
        delete[] jobs;
        delete[] owners;
        return 0;
    }
    for (int n = 0; n < count; n++) {
        searches[n].status = kSiiDone;
        searches[n].data_word = 0;
        searches[n].data_words = 0;
        walks[n] = Walk{kSiiFirstCategoryWord, 0, true, {0, 0}};
    }
    for (;;) {
        int used = 0;
        for (int n = 0; n < count; n++) {
            Walk& walk = walks[n];
            if (!walk.active) continue;
            if (walk.header + 2 > searches[n].word_limit || walk.header + 2 > 0x10000) {
                walk.active = false;  // the chain runs past the EEPROM: no such category
                continue;
            }
            jobs[used] = SiiJob{searches[n].slave, static_cast<uint16_t>(walk.header), 2, walk.words, 0, 0, 0};
            owners[used++] = n;
        }
        if (used == 0) break;
        SiiReadMany(master, jobs, used, tally, reach);
        for (int k = 0; k < used; k++) {
            SiiCategorySearch& search = searches[owners[k]];
            Walk& walk = walks[owners[k]];
            if (jobs[k].status != kSiiDone) {
                search.status = jobs[k].status;
                walk.active = false;
                continue;
            }
            const uint16_t type = walk.words[0];
            if (type == kSiiCategoryEnd) {
                walk.active = false;
            } else if (type == search.category_type) {
                search.data_word = walk.header + 2;
                search.data_words = walk.words[1];
                walk.active = false;
            } else if (++walk.categories >= kSiiMaxCategories) {
                search.status = kSiiLongChain;
                walk.active = false;
            } else {
                walk.header += 2u + walk.words[1];
            }
        }
    }
    int found = 0;
    for (int n = 0; n < count; n++) found += searches[n].status == kSiiDone && searches[n].data_word != 0 ? 1 : 0;
    delete[] walks;
    delete[] jobs;
    delete[] owners;
    return found;
}
