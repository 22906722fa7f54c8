#include "tool/alias_dialog.h"

#include <signal.h>

#include <cstring>

#include "slave/context.h"
#include "tool/alias_repair_hint.h"
#include "tool/operator_input.h"

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

// The dialog's bounds: each word read up to kWordReadTries times, 25 ms apart; both
// words written on one shared count that stops once it passes kWriteAttemptLimit; word
// 7 carries the checksum byte with high byte 0; a wrong stored checksum is repaired
// (force); register 0x0012 is not read (the dialog does not show it).
constexpr AliasWriteLimits kDialogLimits{
    kWordReadTries, kReadRetryGapUs, 0, kWriteAttemptLimit, true, true, false,
};

// Word 4 and word 7 belong together: once word 4 is written, a stop before word 7 would
// leave a checksum that does not match. Ctrl-C and a termination request wait until
// both write loops are over; they take effect when the previous mask is restored.
struct HeldSignals {
    sigset_t previous;
};

void HoldSignals(void* user) {
    sigset_t held;
    sigemptyset(&held);
    sigaddset(&held, SIGINT);
    sigaddset(&held, SIGTERM);
    sigprocmask(SIG_BLOCK, &held, &static_cast<HeldSignals*>(user)->previous);
}

void ReleaseSignals(void* user) { sigprocmask(SIG_SETMASK, &static_cast<HeldSignals*>(user)->previous, nullptr); }

void StoreWord(uint8_t* bytes, int word, uint16_t value) {
    bytes[2 * word] = static_cast<uint8_t>(value & 0xFF);
    bytes[2 * word + 1] = static_cast<uint8_t>(value >> 8);
}

void SayDump(const Console& console, const uint16_t* words) {
    for (int word = 0; word < kHeaderWords; word++) {
        SayNumber(console, kMsgDumpEntry, words[word] & 0xFF);
        SayNumber(console, kMsgDumpEntry, words[word] >> 8);
    }
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

    AliasReadWord(&g_master, kDialogSlave, kAliasWord, kDialogLimits, &outcome.current_config_id);

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
    uint16_t input_value = 0;
    outcome.input = ScanAliasValue(in, &input_value);
    // Only a whole number 0..65535 is an answer. Anything else (letters, 0x1234, 12abc,
    // -1, 70000, the end of the input) is shown as 0, as before, and nothing is written.
    outcome.input_accepted = outcome.input == OperatorInput::kNumber;
    outcome.new_config_id = outcome.input_accepted ? input_value : 0;
    SayNumber(console, kMsgEchoZh, outcome.new_config_id);

    AliasWriteResult write{};
    if (outcome.input_accepted) {
        HeldSignals held{};
        const AliasPairHooks hooks{HoldSignals, ReleaseSignals, &held};
        AliasWrite(&g_master, kDialogSlave, outcome.new_config_id, kDialogLimits, &hooks, &write);
    } else {
        // No answer: the header is still read and shown, and nothing is written.
        write.before_read = AliasReadHeader(&g_master, kDialogSlave, kDialogLimits, write.before);
    }
    outcome.header_read = true;
    for (int word = 0; word < kChecksumWord; word++)
        if ((write.before_read & (1u << word)) == 0) {
            outcome.header_read = false;
            outcome.unreadable_word = word;
            break;
        }
    outcome.old_alias = write.before[kAliasWord];
    for (int word = 0; word < kHeaderWords; word++) StoreWord(outcome.header, word, write.before[word]);
    SayDump(console, write.before);
    Say(console, kMsgFirstDumpEnd);

    // The checksum over the first dump with the new value in word 4; the old word 7
    // stays in the image (the repair line compares against it).
    StoreWord(outcome.header, kAliasWord, outcome.new_config_id);
    uint16_t image[kHeaderWords];
    for (int word = 0; word < kHeaderWords; word++) image[word] = write.before[word];
    image[kAliasWord] = outcome.new_config_id;
    outcome.checksum = AliasHeaderChecksum(image);
    SayNumber(console, kMsgNewCrc, outcome.checksum);
    Say(console, kMsgRule30);
    Say(console, kMsgWritingZh);

    outcome.attempts = write.attempts;
    outcome.alias_written = write.alias_acknowledged;
    outcome.checksum_written = write.checksum_acknowledged;
    outcome.write_stop = write.write_stop;
    SayNumber(console, kMsgAttemptsZh, outcome.attempts);

    // The second dump is also the check of what the EEPROM now holds: words 0-6 as the
    // first dump read them (the checksum was computed over those), the new value in
    // word 4, the checksum in word 7. Without a write it is read here.
    if (!write.write_tried) write.after_read = AliasReadHeader(&g_master, kDialogSlave, kDialogLimits, write.after);
    memcpy(outcome.second_dump, write.after, sizeof outcome.second_dump);
    outcome.second_dump_read = write.after_read;
    outcome.header_read_back = write.write_tried && write.verified;
    SayDump(console, write.after);
    Say(console, kMsgSecondDumpEnd);

    uint16_t read_back = 0;
    outcome.read_back_ok = AliasReadWord(&g_master, kDialogSlave, kAliasWord, kDialogLimits, &read_back);
    outcome.read_back = read_back;
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
