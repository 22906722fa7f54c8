#include "tool/alias_dialog.h"

#include "slave/context.h"
#include "slave/eeprom.h"
#include "tool/operator_input.h"
#include "tool/sii_checksum.h"
#include "tool/stay_open.h"

namespace {

constexpr uint16_t kDialogSlave = 1;  // the dialog only ever shows and writes the first slave

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
// carries words n and n+1; only word n is kept.
WordRead ReadWord(uint16_t word_address) {
    EepromReadStart(kDialogSlave, word_address);
    const uint32_t data = EepromReadFinish(kDialogSlave);
    return WordRead{static_cast<uint16_t>(data & 0xFFFF), !EepromLastFinishFailed(kDialogSlave)};
}

// Repeats the write until it is acknowledged or the shared attempt count passes the limit.
bool WriteWordWithRetries(uint16_t word_address, uint16_t value, int* attempts) {
    const uint16_t config_address = g_master.slave_table[kDialogSlave].config_address;
    int result = 0;
    do {
        EepromToMaster(kDialogSlave);
        result = EepromWriteWord(config_address, word_address, value);
        (*attempts)++;
    } while (result != 1 && *attempts <= kWriteAttemptLimit);
    return result == 1;
}

}  // namespace

AliasDialogOutcome RunAliasDialog(FILE* in, FILE* out, ConsoleEncoding encoding) {
    const Console console{out, encoding};
    const char* name = g_master.slave_table[kDialogSlave].name;
    AliasDialogOutcome outcome{};

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
        if (!read.ok && word < kChecksumWord) outcome.header_read = false;
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

    if (outcome.input_accepted && outcome.header_read) {
        outcome.alias_written = WriteWordWithRetries(kAliasWord, outcome.new_config_id, &outcome.attempts);
        // A checksum for the new value next to the old word 4 would make the slave
        // reject its whole configuration area at the next power-on.
        if (outcome.alias_written)
            outcome.checksum_written = WriteWordWithRetries(kChecksumWord, outcome.checksum, &outcome.attempts);
    }
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
