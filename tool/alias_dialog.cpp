#include "tool/alias_dialog.h"

#include <signal.h>

#include "link/clock.h"
#include "slave/context.h"
#include "slave/eeprom.h"
#include "tool/alias_repair_hint.h"
#include "tool/operator_input.h"
#include "tool/sii_checksum.h"
#include "tool/stay_open.h"

namespace {

constexpr uint16_t kDialogSlave = 1;  // the dialog only ever shows and writes the first slave
constexpr uint32_t kReadRetryGapUs = 25000;  // pause before a word read is made again

struct Console {
    FILE* out;
    ConsoleEncoding encoding;
};

// Messages without arguments contain no conversion, so they go out unformatted.
void Say(const Console& console, DialogMessage message) { fputs(DialogText(message, console.encoding), console.out); }

void SayNumber(const Console& console, DialogMessage message, int number) {
    fprintf(console.out, DialogText(message, console.encoding), number);
}

void SayText(const Console& console, DialogMessage message, const char* text) {
    fprintf(console.out, DialogText(message, console.encoding), text);
}

void SaySlave(const Console& console, DialogMessage message, int slave, const char* name) {
    fprintf(console.out, DialogText(message, console.encoding), slave, name);
}

struct WordRead {
    uint16_t value;
    bool ok;
};

// One EEPROM word of the dialog slave: a started read and its finish. The finish
// carries words n and n+1; only word n is kept. A read that delivers no data is made
// again, up to kWordReadTries reads in all: reading changes nothing, and on a lossy
// line a single lost exchange would otherwise stop the dialog. Each new try waits a
// little first: after a run of lost frames the frame port passes over the slots that
// lost them for a while, and exchanges made at once would find none free.
WordRead ReadWord(uint16_t word_address) {
    WordRead read{0, false};
    for (int tries = 0; tries < kWordReadTries && !read.ok; tries++) {
        if (tries > 0) WaitMicroseconds(kReadRetryGapUs);
        EepromReadStart(&g_master, kDialogSlave, word_address);
        const uint32_t data = EepromReadFinish(&g_master, kDialogSlave);
        read = WordRead{static_cast<uint16_t>(data & 0xFFFF), !EepromLastFinishFailed(&g_master, kDialogSlave)};
    }
    return read;
}

// Repeats the write until it is acknowledged or the shared attempt count passes the limit.
bool WriteWordWithRetries(uint16_t word_address, uint16_t value, int* attempts) {
    const uint16_t config_address = g_master.slave_table[kDialogSlave].config_address;
    int result = 0;
    do {
        EepromToMaster(&g_master, kDialogSlave);
        result = EepromWriteWord(&g_master, config_address, word_address, value);
        (*attempts)++;
    } while (result != 1 && *attempts <= kWriteAttemptLimit);
    return result == 1;
}

// After a write loop gave up: one look at the EEPROM interface tells why.
WriteStop WhyTheWriteStopped() {
    uint16_t status = 0;
    if (EepromWaitNotBusy(&g_master, g_master.slave_table[kDialogSlave].config_address, &status))
        return (status & kEepromStatusCommandErrors) != 0 ? WriteStop::kRefused : WriteStop::kUnconfirmed;
    return (status & kEepromStatusBusy) != 0 ? WriteStop::kBusy : WriteStop::kNoAnswer;
}

// Word 4 and word 7 belong together: once word 4 is written, a stop before word 7 would
// leave a checksum that does not match. Ctrl-C and a termination request wait until
// both write loops are over; they take effect when the previous mask is restored.
void WriteAliasAndChecksum(AliasDialogOutcome* outcome) {
    sigset_t held, previous;
    sigemptyset(&held);
    sigaddset(&held, SIGINT);
    sigaddset(&held, SIGTERM);
    sigprocmask(SIG_BLOCK, &held, &previous);
    outcome->alias_written = WriteWordWithRetries(kAliasWord, outcome->new_config_id, &outcome->attempts);
    // A checksum for the new value next to the old word 4 would make the slave
    // reject its whole configuration area at the next power-on.
    if (outcome->alias_written)
        outcome->checksum_written = WriteWordWithRetries(kChecksumWord, outcome->checksum, &outcome->attempts);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (!outcome->alias_written || !outcome->checksum_written) outcome->write_stop = WhyTheWriteStopped();
}

}  // namespace

AliasDialogOutcome RunAliasDialog(FILE* in, FILE* out, ConsoleEncoding encoding, FILE* err) {
    const Console console{out, encoding};
    const char* name = g_master.slave_table[kDialogSlave].name;
    AliasDialogOutcome outcome{};
    outcome.unreadable_word = -1;

    Say(console, kMsgBanner);
    SaySlave(console, kMsgSlaveLine, kDialogSlave, name);
    SaySlave(console, kMsgSlaveLineZh, kDialogSlave, name);

    int32_t input_value = 0;
    outcome.current_config_id = ReadWord(kAliasWord).value;

    Say(console, kMsgRule29);
    Say(console, kMsgRestartHint);
    Say(console, kMsgRestartHintZh);
    SayText(console, kMsgProductName, name);
    SayText(console, kMsgProductNameZh, name);
    SayNumber(console, kMsgCurrentIdZh, outcome.current_config_id);
    Say(console, kMsgRule30);
    Say(console, kMsgPrompt);
    Say(console, kMsgPromptZh);

    // The prompt must be on the screen before the program waits for the answer.
    fflush(out);
    const OperatorInput input = ScanDecimal(in, &input_value);
    // Letters leave the value at 0 and are written as 0, as the operator sees in the
    // echo; an input that ended, or a number beyond 32 bits, is no answer at all and
    // nothing is written for it.
    outcome.input_accepted = input == OperatorInput::kNumber || input == OperatorInput::kNotANumber;
    outcome.new_config_id = static_cast<uint16_t>(input_value);
    SayNumber(console, kMsgEchoZh, outcome.new_config_id);

    outcome.header_read = true;
    for (int word = 0; word < kHeaderWords; word++) {
        const WordRead read = ReadWord(static_cast<uint16_t>(word));
        // The checksum is computed from words 0-6; a word that could not be read would
        // enter it as 0 and leave a checksum that does not match the EEPROM.
        if (!read.ok && word < kChecksumWord && outcome.header_read) {
            outcome.header_read = false;
            outcome.unreadable_word = word;
        }
        if (word == kAliasWord) outcome.old_alias = read.value;
        outcome.header[2 * word] = static_cast<uint8_t>(read.value & 0xFF);
        outcome.header[2 * word + 1] = static_cast<uint8_t>(read.value >> 8);
        SayNumber(console, kMsgDumpEntry, outcome.header[2 * word]);
        SayNumber(console, kMsgDumpEntry, outcome.header[2 * word + 1]);
    }
    Say(console, kMsgFirstDumpEnd);

    outcome.header[2 * kAliasWord] = static_cast<uint8_t>(outcome.new_config_id & 0xFF);
    outcome.header[2 * kAliasWord + 1] = static_cast<uint8_t>(outcome.new_config_id >> 8);
    outcome.checksum = SiiChecksum(outcome.header, kSiiChecksumBytes);
    SayNumber(console, kMsgNewCrc, outcome.checksum);
    Say(console, kMsgRule30);
    Say(console, kMsgWritingZh);

    if (outcome.input_accepted && outcome.header_read) WriteAliasAndChecksum(&outcome);
    SayNumber(console, kMsgAttemptsZh, outcome.attempts);

    // The second dump is also the check of what the EEPROM now holds: words 0-6 as the
    // first dump read them (the checksum was computed over those), the new value in
    // word 4, the checksum in word 7. A write acknowledged but not carried out, or a
    // first dump that read a word wrong, shows here and not in word 4 alone.
    outcome.header_read_back = true;
    for (int word = 0; word < kHeaderWords; word++) {
        const WordRead read = ReadWord(static_cast<uint16_t>(word));
        const uint16_t image_word = static_cast<uint16_t>(outcome.header[2 * word] | (outcome.header[2 * word + 1] << 8));
        const uint16_t written = word == kChecksumWord ? outcome.checksum : image_word;
        if (!read.ok || read.value != written) outcome.header_read_back = false;
        outcome.second_dump[word] = read.value;
        if (read.ok) outcome.second_dump_read = static_cast<uint8_t>(outcome.second_dump_read | (1u << word));
        SayNumber(console, kMsgDumpEntry, read.value & 0xFF);
        SayNumber(console, kMsgDumpEntry, read.value >> 8);
    }
    Say(console, kMsgSecondDumpEnd);

    const WordRead read_back = ReadWord(kAliasWord);
    outcome.read_back = read_back.value;
    outcome.read_back_ok = read_back.ok;
    SayNumber(console, kMsgReadBackZh, outcome.read_back);
    Say(console, kMsgRule30);

    // A value that merely looks right (a failed read gives 0), a checksum that was never
    // written, or a header that does not read back as written must not be reported as
    // success.
    outcome.passed = outcome.alias_written && outcome.checksum_written && outcome.header_read_back &&
                     outcome.read_back_ok && outcome.read_back == outcome.new_config_id;
    if (outcome.passed) {
        Say(console, kMsgPassed);
        Say(console, kMsgPassedZh);
    } else {
        Say(console, kMsgFailed);
        Say(console, kMsgFailedZh);
        // The English line on the error stream follows the verdict and comes before the
        // last two messages, also where both streams go to one file.
        char hint[kRepairHintBytes];
        if (err != nullptr && AliasRepairHint(outcome, hint, sizeof hint)) {
            fflush(out);
            fputs(hint, err);
            fflush(err);
        }
    }
    Say(console, kMsgStop);
    Say(console, kMsgCloseZh);
    fflush(out);
    return outcome;
}

void AliasDialog() {
    RunAliasDialog(stdin, stdout, ConsoleEncodingFromLocale());
    StayOpenUntilClosed();
}
