// The station-alias dialog against the in-process virtual segment: the whole console
// transcript, what reaches the EEPROM, and the refusals that keep a slave's
// configuration area consistent.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <string>

#include "api/connection.h"
#include "api/ecdevice.h"
#include "link/capture.h"
#include "link/datagram.h"
#include "sim/segment.h"
#include "slave/bringup.h"
#include "support_segment.h"
#include "support_temp_files.h"
#include "support_virtual_clock.h"
#include "tool/alias_dialog.h"
#include "tool/alias_repair_hint.h"
#include "tool/dialog_main.h"
#include "tool/sii_checksum.h"

namespace {

// A tap between the frame port and the virtual segment that turns chosen EEPROM
// commands into commands the slave controller refuses (it answers them with the
// acknowledge error bit, as for a NACK), so a test can fail one particular read or
// write of one particular word. With a redirect the command is not refused but sent to
// another word: the slave acknowledges it, and the master cannot tell. A lost command
// never reaches the segment, as on a line that drops the frame.
struct CommandRefusal {
    uint16_t command;  // 0x0100 read, 0x0201 write
    uint16_t word;
    int skip;          // matching commands let through first
    int refuse;        // matching commands refused after those (-1: all)
    int seen;
    int redirect = -1;  // >= 0: the word the command goes to instead of being refused
    bool lose = false;  // the frame is lost instead
};

const CaptureBackend* g_inner_backend;
CommandRefusal g_refusals[4];
int g_refusal_count;

// What the tap and a signal handler saw, in order: 'A' a write command for word 4 went
// out, 'C' one for word 7, 'I' SIGINT was delivered, 'T' SIGTERM was delivered.
volatile sig_atomic_t g_event_count;
char g_events[512];
// Signals the tap raises as the first write command for word 4 / word 7 goes out (0: none).
int g_raise_at_alias_write;
int g_raise_at_checksum_write;

void Note(char event) {
    const sig_atomic_t at = g_event_count;
    if (at < static_cast<sig_atomic_t>(sizeof g_events)) {
        g_events[at] = event;
        g_event_count = at + 1;
    }
}

void RecordSignal(int number) { Note(number == SIGINT ? 'I' : 'T'); }

int TapSend(void* handle, const uint8_t* frame, int length) {
    uint8_t copy[kMaxFrameBytes];
    const int n = length < kMaxFrameBytes ? length : kMaxFrameBytes;
    memcpy(copy, frame, static_cast<size_t>(n));
    // Ethernet header 14, EtherCAT header 2, datagram header 10, then the data.
    const int data = kEthernetHeaderBytes + 2 + 10;
    const bool eeprom_command = n >= data + 6 && copy[16] == CMD_FPWR && copy[20] == 0x02 && copy[21] == 0x05 &&
                                (copy[22] | (copy[23] << 8)) >= 6;
    if (eeprom_command) {
        const uint16_t command = static_cast<uint16_t>(copy[data] | (copy[data + 1] << 8));
        const uint16_t word = static_cast<uint16_t>(copy[data + 2] | (copy[data + 3] << 8));
        if (command == 0x0201 && (word == kAliasWord || word == kChecksumWord)) {
            int& raise_now = word == kAliasWord ? g_raise_at_alias_write : g_raise_at_checksum_write;
            Note(word == kAliasWord ? 'A' : 'C');
            if (raise_now != 0) {
                const int number = raise_now;
                raise_now = 0;
                raise(number);
            }
        }
        for (int i = 0; i < g_refusal_count; i++) {
            CommandRefusal& r = g_refusals[i];
            if (r.command != command || r.word != word) continue;
            const int index = r.seen++;
            if (index < r.skip || (r.refuse >= 0 && index >= r.skip + r.refuse)) continue;
            if (r.lose) return 0;
            if (r.redirect >= 0) {
                copy[data + 2] = static_cast<uint8_t>(r.redirect);
                copy[data + 3] = static_cast<uint8_t>(r.redirect >> 8);
            } else {
                copy[data + 1] = 0x07;  // command code 7 does not exist
            }
        }
    }
    return g_inner_backend->send(handle, copy, n);
}

CaptureBackend g_tap_backend;

std::string Format(ConsoleEncoding encoding, int message, ...) {
    char text[512];
    va_list args;
    va_start(args, message);
    vsnprintf(text, sizeof text, DialogText(message, encoding), args);
    va_end(args);
    return text;
}

std::string Dump(ConsoleEncoding encoding, const uint16_t* words) {
    std::string text;
    for (int i = 0; i < kHeaderWords; i++) {
        text += Format(encoding, kMsgDumpEntry, words[i] & 0xFF);
        text += Format(encoding, kMsgDumpEntry, words[i] >> 8);
    }
    return text;
}

// What the operator should see, built message by message from the observed values.
struct Expected {
    const char* name;
    int current;
    int echo;
    uint16_t first_dump[kHeaderWords];
    int checksum;
    int attempts;
    uint16_t second_dump[kHeaderWords];
    int read_back;
    bool passed;
};

std::string Transcript(ConsoleEncoding e, const Expected& x) {
    std::string t = Format(e, kMsgBanner) + Format(e, kMsgSlaveLine, 1, x.name) + Format(e, kMsgSlaveLineZh, 1, x.name) +
                    Format(e, kMsgRule29) + Format(e, kMsgRestartHint) + Format(e, kMsgRestartHintZh) +
                    Format(e, kMsgProductName, x.name) + Format(e, kMsgProductNameZh, x.name) +
                    Format(e, kMsgCurrentIdZh, x.current) + Format(e, kMsgRule30) + Format(e, kMsgPrompt) +
                    Format(e, kMsgPromptZh) + Format(e, kMsgEchoZh, x.echo) + Dump(e, x.first_dump) +
                    Format(e, kMsgFirstDumpEnd) + Format(e, kMsgNewCrc, x.checksum) + Format(e, kMsgRule30) +
                    Format(e, kMsgWritingZh) + Format(e, kMsgAttemptsZh, x.attempts) + Dump(e, x.second_dump) +
                    Format(e, kMsgSecondDumpEnd) + Format(e, kMsgReadBackZh, x.read_back) + Format(e, kMsgRule30);
    t += x.passed ? Format(e, kMsgPassed) + Format(e, kMsgPassedZh) : Format(e, kMsgFailed) + Format(e, kMsgFailedZh);
    return t + Format(e, kMsgStop) + Format(e, kMsgCloseZh);
}

class AliasDialogTest : public SegmentTest {
protected:
    void Bring(int slaves) {
        StartSegment(slaves);
        ASSERT_EQ(ConfigureNetwork(&g_master), slaves);
        first = segment->slaves[0];
        g_inner_backend = CaptureActiveBackend();
        g_tap_backend = *g_inner_backend;
        g_tap_backend.send = TapSend;
        g_refusal_count = 0;
        g_event_count = 0;
        g_raise_at_alias_write = 0;
        g_raise_at_checksum_write = 0;
        CaptureInstallBackend(&g_tap_backend);
        PortUseBackend(&g_master.port, &g_tap_backend);
    }
    void Refuse(uint16_t command, uint16_t word, int skip, int refuse) {
        g_refusals[g_refusal_count++] = CommandRefusal{command, word, skip, refuse, 0};
    }
    void Redirect(uint16_t command, uint16_t word, int skip, int count, uint16_t to) {
        g_refusals[g_refusal_count++] = CommandRefusal{command, word, skip, count, 0, to};
    }
    // The frames carrying these commands are lost (-1: all after `skip`).
    void Lose(uint16_t command, uint16_t word, int skip, int count) {
        g_refusals[g_refusal_count++] = CommandRefusal{command, word, skip, count, 0, -1, true};
    }
    // Runs the dialog with `input` on its standard input; keeps the output in `output`
    // and what it wrote on its error stream in `errors`.
    AliasDialogOutcome Run(const char* input, ConsoleEncoding encoding = ConsoleEncoding::kGbk) {
        FILE* in = tmpfile();
        fputs(input, in);
        rewind(in);
        FILE* out = tmpfile();
        FILE* err = tmpfile();
        AliasDialogOutcome outcome = RunAliasDialog(in, out, encoding, err);
        output = ReadAll(out);
        errors = ReadAll(err);
        fclose(in);
        return outcome;
    }
    std::string Events() const { return std::string(g_events, static_cast<size_t>(g_event_count)); }
    void SetHeader(const uint16_t (&words)[kHeaderWords]) {
        for (int i = 0; i < kHeaderWords; i++) SimEepromSetWord(first, static_cast<uint16_t>(i), words[i]);
    }
    void CopyHeader(uint16_t* words) const { memcpy(words, first->eeprom.words, kHeaderWords * sizeof(uint16_t)); }

    // Time moves by the dialog's own waits only: the counts of retries, resends and
    // rests do not depend on how fast the machine is.
    VirtualClock clock{1};
    SimSlave* first = nullptr;
    std::string output;
    std::string errors;
};

}  // namespace

TEST_F(AliasDialogTest, NormalRunShowsEveryStepAndWritesWordsFourAndSeven) {
    Bring(3);
    const uint16_t before[kHeaderWords] = {0x0005, 0x0000, 0x0000, 0x0000, 0x0007, 0x0000, 0x0000, 0x0000};
    SetHeader(before);
    SimEepromUpdateChecksum(first);
    Expected x{};
    x.name = g_master.slave_table[1].name;
    CopyHeader(x.first_dump);

    const AliasDialogOutcome outcome = Run("4660\n");
    EXPECT_TRUE(outcome.passed);
    EXPECT_EQ(outcome.attempts, 2);

    // The EEPROM now holds the new alias and a checksum over it, high byte 0.
    uint16_t after[kHeaderWords];
    CopyHeader(after);
    EXPECT_EQ(after[4], 4660);
    uint8_t header_bytes[kSiiChecksumBytes];
    for (int i = 0; i < 7; i++) {
        header_bytes[2 * i] = static_cast<uint8_t>(after[i] & 0xFF);
        header_bytes[2 * i + 1] = static_cast<uint8_t>(after[i] >> 8);
    }
    EXPECT_EQ(after[7], SiiChecksum(header_bytes, kSiiChecksumBytes));
    EXPECT_TRUE(SimSiiHeaderValid(&first->eeprom));
    for (int i : {0, 1, 2, 3, 5, 6}) EXPECT_EQ(after[i], before[i]) << "word " << i;
    EXPECT_EQ(first->eeprom.counters.words_written, 2u);

    x.current = 7;
    x.echo = 4660;
    x.checksum = after[7];
    x.attempts = 2;
    memcpy(x.second_dump, after, sizeof after);
    x.read_back = 4660;
    x.passed = true;
    EXPECT_EQ(output, Transcript(ConsoleEncoding::kGbk, x));
    EXPECT_NE(output.find("write passed! \n\r "), std::string::npos);
    EXPECT_EQ(errors, "");  // a run that passes says nothing on the error stream
    EXPECT_STREQ(g_master.slave_table[1].name, "ecsim slave 1");
}

TEST_F(AliasDialogTest, ChinesePartsFollowTheConsoleEncodingOnly) {
    Bring(1);
    SimEepromSetLatency(first, 0, 0);
    Run("12\n", ConsoleEncoding::kGbk);
    const std::string gbk = output;
    Run("12\n", ConsoleEncoding::kUtf8);
    EXPECT_NE(gbk, output);
    EXPECT_NE(output.find("\xE6\x82\xA8\xE8\xBE\x93\xE5\x85\xA5\xE7\x9A\x84\xE6\x98\xAF---> 12 \n\r "), std::string::npos);
    EXPECT_NE(gbk.find("\xC4\xFA\xCA\xE4\xC8\xEB\xB5\xC4\xCA\xC7---> 12 \n\r "), std::string::npos);
    EXPECT_EQ(output.find("\xC4\xFA"), std::string::npos);  // no GBK bytes leak into UTF-8
}

TEST_F(AliasDialogTest, TheChecksumCoversTheNewValueAndNeverTheOldWords) {
    Bring(1);
    SimEepromSetLatency(first, 0, 0);
    // Words 0-3, 5 and 6 zero; the old alias and an old checksum with a high byte set.
    const uint16_t header[kHeaderWords] = {0, 0, 0, 0, 0x5555, 0, 0, 0xABCD};
    SetHeader(header);
    AliasDialogOutcome outcome = Run("1\n");
    EXPECT_EQ(outcome.checksum, 0x19);
    EXPECT_NE(output.find("new crc code is  19 \n\r "), std::string::npos);
    EXPECT_EQ(first->eeprom.words[4], 1);
    EXPECT_EQ(first->eeprom.words[7], 0x0019);  // high byte written as 0

    outcome = Run("0\n");
    EXPECT_EQ(outcome.checksum, 0x30);
    EXPECT_NE(output.find("new crc code is  30 \n\r "), std::string::npos);
    EXPECT_EQ(first->eeprom.words[4], 0);
    EXPECT_EQ(first->eeprom.words[7], 0x0030);
    EXPECT_TRUE(outcome.passed);
}

TEST_F(AliasDialogTest, OnlyAWholeNumberFrom0To65535IsWritten) {
    Bring(1);
    SimEepromSetLatency(first, 0, 0);
    struct Case {
        const char* input;
        uint16_t written;
    } accepted[] = {{"0\n", 0}, {"65535\n", 65535}, {"  300 \r\n", 300}, {"\t12\t\n", 12}, {"4660\r", 4660}};
    for (const Case& c : accepted) {
        SimEepromSetAlias(first, 0x4242);
        const AliasDialogOutcome outcome = Run(c.input);
        EXPECT_TRUE(outcome.passed) << c.input;
        EXPECT_EQ(first->eeprom.words[4], c.written) << c.input;
        EXPECT_NE(output.find(Format(ConsoleEncoding::kGbk, kMsgEchoZh, c.written)), std::string::npos) << c.input;
        EXPECT_TRUE(SimSiiHeaderValid(&first->eeprom)) << c.input;
        EXPECT_EQ(errors, "") << c.input;
    }

    // Letters were once written as 0 and 70000 as 4464: now nothing is written, the echo
    // shows 0, the count 0, and the verdict is the failure an ended input gets.
    for (const char* input : {"abc\n", "0x1234\n", "12abc\n", "-1\n", "+5\n", "70000\n", "65536\n", "1 2\n"}) {
        SimEepromSetAlias(first, 0x4242);
        const uint32_t writes_before = first->eeprom.counters.writes;
        const AliasDialogOutcome outcome = Run(input);
        EXPECT_FALSE(outcome.input_accepted) << input;
        EXPECT_FALSE(outcome.passed) << input;
        EXPECT_EQ(outcome.attempts, 0) << input;
        EXPECT_EQ(first->eeprom.counters.writes, writes_before) << input;
        EXPECT_EQ(first->eeprom.words[4], 0x4242) << input;
        EXPECT_NE(output.find(Format(ConsoleEncoding::kGbk, kMsgEchoZh, 0)), std::string::npos) << input;
        EXPECT_NE(output.find(Format(ConsoleEncoding::kGbk, kMsgAttemptsZh, 0)), std::string::npos) << input;
        EXPECT_NE(output.find(Format(ConsoleEncoding::kGbk, kMsgReadBackZh, 0x4242)), std::string::npos) << input;
        EXPECT_NE(output.find("write fail\n\r "), std::string::npos) << input;
        EXPECT_EQ(errors, "ecalias: the config_id must be a whole decimal number from 0 to 65535; nothing was written\n")
            << input;
    }
}

TEST_F(AliasDialogTest, NoAnswerWritesNothing) {
    Bring(1);
    SimEepromSetLatency(first, 0, 0);
    SimEepromSetAlias(first, 0x0102);
    for (const char* input : {"", "   \n", "\r\n\t\n"}) {
        const uint32_t writes_before = first->eeprom.counters.writes;
        const AliasDialogOutcome outcome = Run(input);
        EXPECT_FALSE(outcome.input_accepted) << '"' << input << '"';
        EXPECT_EQ(outcome.attempts, 0);
        EXPECT_FALSE(outcome.passed);
        EXPECT_EQ(first->eeprom.counters.writes, writes_before);
        EXPECT_EQ(first->eeprom.words[4], 0x0102);
        // The messages run on to the end: count 0, second dump, read-back, failure.
        EXPECT_NE(output.find(Format(ConsoleEncoding::kGbk, kMsgAttemptsZh, 0)), std::string::npos);
        EXPECT_NE(output.find(Format(ConsoleEncoding::kGbk, kMsgReadBackZh, 0x0102)), std::string::npos);
        EXPECT_NE(output.find("write fail\n\r "), std::string::npos);
        EXPECT_EQ(output.find("write passed"), std::string::npos);
        const std::string close = Format(ConsoleEncoding::kGbk, kMsgCloseZh);
        EXPECT_EQ(output.rfind(close), output.size() - close.size());
        EXPECT_EQ(errors, "ecalias: no config_id was read from standard input; nothing was written\n");
    }
}

TEST_F(AliasDialogTest, FailedWritesAreRetriedOnOneSharedCount) {
    Bring(1);
    SimEepromSetLatency(first, 0, 0);
    // The first write of word 4 is refused three times in a row (one failed write).
    Refuse(0x0201, 4, 0, 3);
    AliasDialogOutcome outcome = Run("9\n");
    EXPECT_EQ(outcome.attempts, 3);
    EXPECT_TRUE(outcome.passed);
    EXPECT_NE(output.find(Format(ConsoleEncoding::kGbk, kMsgAttemptsZh, 3)), std::string::npos);
    EXPECT_EQ(first->eeprom.words[4], 9);
    EXPECT_EQ(errors, "");

    // Word 7 refused for good after word 4 went in: the count stops past 100 and the
    // verdict is a failure although word 4 reads back right.
    g_refusal_count = 0;
    Refuse(0x0201, 7, 0, -1);
    const uint16_t old_word7 = first->eeprom.words[7];
    outcome = Run("10\n");
    EXPECT_TRUE(outcome.alias_written);
    EXPECT_FALSE(outcome.checksum_written);
    EXPECT_EQ(outcome.attempts, 101);
    EXPECT_EQ(outcome.read_back, 10);
    EXPECT_FALSE(outcome.passed);
    EXPECT_EQ(first->eeprom.words[7], old_word7);
    EXPECT_NE(output.find("write fail\n\r "), std::string::npos);
    // The EEPROM answered, with an error: the line names the refusal and the half-written
    // header, and the remedy.
    EXPECT_EQ(outcome.write_stop, WriteStop::kRefused);
    EXPECT_EQ(errors,
              "ecalias: slave 1 refused the checksum write (its EEPROM reported an error): its EEPROM now holds "
              "alias 10 with a wrong checksum; run ecalias again to rewrite both words\n");
}

TEST_F(AliasDialogTest, WordSevenIsLeftAloneWhenWordFourCannotBeWritten) {
    Bring(1);
    SimEepromSetLatency(first, 0, 0);
    SimEepromSetAlias(first, 0x0033);
    const uint16_t old_word7 = first->eeprom.words[7];
    Refuse(0x0201, 4, 0, -1);
    const AliasDialogOutcome outcome = Run("1234\n");
    EXPECT_FALSE(outcome.alias_written);
    EXPECT_FALSE(outcome.checksum_written);
    EXPECT_EQ(outcome.attempts, 101);  // the loop stops once the count passes 100
    EXPECT_EQ(first->eeprom.words[4], 0x0033);
    EXPECT_EQ(first->eeprom.words[7], old_word7);
    EXPECT_EQ(first->eeprom.counters.words_written, 0u);
    EXPECT_TRUE(SimSiiHeaderValid(&first->eeprom));  // still consistent
    EXPECT_NE(output.find(Format(ConsoleEncoding::kGbk, kMsgAttemptsZh, 101)), std::string::npos);
    EXPECT_NE(output.find("write fail\n\r "), std::string::npos);
    EXPECT_EQ(errors,
              "ecalias: slave 1 refused the alias write (its EEPROM reported an error): its EEPROM still holds "
              "alias 51; run ecalias again\n");
}

TEST_F(AliasDialogTest, AnUnreadableHeaderWordStopsTheWrite) {
    Bring(1);
    SimEepromSetLatency(first, 0, 0);
    SimEepromSetAlias(first, 0x0021);
    // Word 3 of the first dump cannot be read in any of its tries: its 0 would enter
    // the checksum.
    Refuse(0x0100, 3, 0, 5);  // five tries per word
    AliasDialogOutcome outcome = Run("33\n");  // the current value: a read-back would match
    EXPECT_FALSE(outcome.header_read);
    EXPECT_EQ(outcome.unreadable_word, 3);
    EXPECT_EQ(outcome.attempts, 0);
    EXPECT_EQ(first->eeprom.counters.writes, 0u);
    EXPECT_EQ(outcome.read_back, 0x0021);
    EXPECT_FALSE(outcome.passed);
    EXPECT_NE(output.find("write fail\n\r "), std::string::npos);
    EXPECT_EQ(errors,
              "ecalias: slave 1 did not deliver word 3 of its EEPROM header; nothing was written; run ecalias again "
              "once the module answers\n");

    // One try fewer refused: the last try reads it, and the dialog goes on.
    g_refusal_count = 0;
    Refuse(0x0100, 3, 0, 4);
    outcome = Run("35\n");
    EXPECT_TRUE(outcome.header_read);
    EXPECT_TRUE(outcome.passed);
    EXPECT_EQ(first->eeprom.words[4], 35);

    // Word 7 of the dump takes no part in the checksum: its failure does not stop the write.
    g_refusal_count = 0;
    Refuse(0x0100, 7, 0, 5);
    outcome = Run("34\n");
    EXPECT_TRUE(outcome.header_read);
    EXPECT_TRUE(outcome.passed);
    EXPECT_EQ(first->eeprom.words[4], 34);
}

TEST_F(AliasDialogTest, AFailedReadBackIsNotMistakenForAMatchingZero) {
    Bring(1);
    SimEepromSetLatency(first, 0, 0);
    SimEepromSetAlias(first, 0x0500);
    // Word 4 is read at the start, in both dumps and at the read-back: refuse the last,
    // in every try.
    Refuse(0x0100, 4, 3, -1);
    const AliasDialogOutcome outcome = Run("0\n");
    EXPECT_TRUE(outcome.alias_written);
    EXPECT_TRUE(outcome.checksum_written);
    EXPECT_FALSE(outcome.read_back_ok);
    EXPECT_EQ(outcome.read_back, 0);
    EXPECT_FALSE(outcome.passed);
    EXPECT_EQ(first->eeprom.words[4], 0);
    EXPECT_NE(output.find(Format(ConsoleEncoding::kGbk, kMsgReadBackZh, 0)), std::string::npos);
    EXPECT_NE(output.find("write fail\n\r "), std::string::npos);
    EXPECT_EQ(errors,
              "ecalias: slave 1 took both writes, but they could not be checked; run ecalias again once the module "
              "answers to check them\n");
}

TEST_F(AliasDialogTest, TheVerdictStandsOnTheWholeHeaderAsReadBack) {
    Bring(1);
    SimEepromSetLatency(first, 0, 0);
    SimEepromSetAlias(first, 0x0040);
    uint16_t before[kHeaderWords];
    CopyHeader(before);
    // The checksum write is acknowledged but carried out elsewhere, as when a stale reply
    // confirms a write the slave never made: word 4 reads back right, word 7 is old.
    Redirect(0x0201, 7, 0, -1, 0x7F);
    AliasDialogOutcome outcome = Run("65\n");
    EXPECT_TRUE(outcome.checksum_written);
    EXPECT_TRUE(outcome.read_back_ok);
    EXPECT_EQ(outcome.read_back, 65);
    EXPECT_EQ(first->eeprom.words[4], 65);
    EXPECT_EQ(first->eeprom.words[7], before[7]);
    EXPECT_FALSE(outcome.header_read_back);
    EXPECT_FALSE(outcome.passed);
    EXPECT_NE(output.find("write fail\n\r "), std::string::npos);
    EXPECT_EQ(output.find("write passed"), std::string::npos);
    EXPECT_EQ(errors,
              "ecalias: slave 1 took both writes, but its header does not read back as written; run ecalias again to "
              "rewrite both words\n");

    // The first dump takes word 2 from another word: the checksum is computed over a
    // header the EEPROM does not hold, and the second dump shows it.
    g_refusal_count = 0;
    SimEepromSetWord(first, 0x7F, 0xBEEF);
    Redirect(0x0100, 2, 0, 1, 0x7F);
    outcome = Run("66\n");
    EXPECT_TRUE(outcome.alias_written);
    EXPECT_TRUE(outcome.checksum_written);
    EXPECT_EQ(outcome.read_back, 66);
    EXPECT_FALSE(SimSiiHeaderValid(&first->eeprom)) << "the checksum went in over the wrong word 2";
    EXPECT_FALSE(outcome.header_read_back);
    EXPECT_FALSE(outcome.passed);
    EXPECT_NE(output.find("write fail\n\r "), std::string::npos);

    // An undisturbed run mends the header and passes.
    g_refusal_count = 0;
    outcome = Run("66\n");
    EXPECT_TRUE(outcome.header_read_back);
    EXPECT_TRUE(outcome.passed);
    EXPECT_TRUE(SimSiiHeaderValid(&first->eeprom));
}

TEST_F(AliasDialogTest, LostHeaderReadsAreMadeAgainAndChangeNothingShown) {
    Bring(2);
    SimEepromSetLatency(first, 0, 0);
    SimEepromSetAlias(first, 0x0102);
    Expected x{};
    x.name = g_master.slave_table[1].name;
    CopyHeader(x.first_dump);
    // A read sends its command in up to four frames: the first two reads of word 2 and
    // the first read of word 5 are lost on the line.
    Lose(0x0100, 2, 0, 8);
    Lose(0x0100, 5, 0, 4);
    const AliasDialogOutcome outcome = Run("700\n");
    EXPECT_TRUE(outcome.header_read);
    EXPECT_TRUE(outcome.passed);
    EXPECT_GT(g_refusals[0].seen, 8);
    EXPECT_GT(g_refusals[1].seen, 4);
    EXPECT_EQ(first->eeprom.words[4], 700);
    EXPECT_TRUE(SimSiiHeaderValid(&first->eeprom));
    // The console shows what a run without loss shows, byte for byte.
    x.current = 0x0102;
    x.echo = 700;
    x.checksum = first->eeprom.words[7];
    x.attempts = 2;
    CopyHeader(x.second_dump);
    x.read_back = 700;
    x.passed = true;
    EXPECT_EQ(output, Transcript(ConsoleEncoding::kGbk, x));
    EXPECT_EQ(errors, "");

    // A word whose every read is lost: nothing is written.
    g_refusal_count = 0;
    Lose(0x0100, 5, 0, -1);
    const uint16_t alias_before = first->eeprom.words[4];
    const AliasDialogOutcome lost = Run("701\n");
    EXPECT_FALSE(lost.header_read);
    EXPECT_EQ(lost.unreadable_word, 5);
    EXPECT_EQ(lost.attempts, 0);
    EXPECT_EQ(first->eeprom.counters.writes, 2u);  // the two of the first run
    EXPECT_EQ(first->eeprom.words[4], alias_before);
    EXPECT_FALSE(lost.passed);
    EXPECT_NE(output.find("write fail\n\r "), std::string::npos);
    EXPECT_EQ(errors,
              "ecalias: slave 1 did not deliver word 5 of its EEPROM header; nothing was written; run ecalias again "
              "once the module answers\n");
}

// A slave that drops off the line during the pair and is back 100 ms later: every
// attempt on a silent slave waits at least 20 ms for its interface, so the write loop's
// window (100 attempts) lasts at least 2 s, on any clock and under any load. The loop
// finishes the pair, and the read-back confirms it.
TEST_F(AliasDialogTest, ASlaveBackDuringTheChecksumRetriesGetsThePairFinished) {
    Bring(3);
    SimEepromSetLatency(first, 0, 0);
    SimEepromSetAlias(first, 0x0007);
    const uint16_t behind_before = segment->slaves[1]->eeprom.words[4];
    SimEepromAttach(segment);
    first->eeprom.faults.vanish_at_write = 2;  // as the checksum write arrives
    first->eeprom.faults.come_back = true;
    first->eeprom.faults.come_back_after_ms = 100;
    const AliasDialogOutcome outcome = Run("4242\n");
    EXPECT_TRUE(first->eeprom.vanish_fired);
    EXPECT_EQ(segment->vanished_from, 0);
    EXPECT_TRUE(outcome.alias_written);
    EXPECT_TRUE(outcome.checksum_written);
    EXPECT_GT(outcome.attempts, 2);  // the checksum took more than one attempt
    EXPECT_LE(outcome.attempts, kWriteAttemptLimit);
    EXPECT_TRUE(outcome.header_read_back);
    EXPECT_TRUE(outcome.passed);
    EXPECT_EQ(first->eeprom.words[4], 4242);
    EXPECT_TRUE(SimSiiHeaderValid(&first->eeprom));
    EXPECT_EQ(segment->slaves[1]->eeprom.words[4], behind_before);
    EXPECT_NE(output.find(Format(ConsoleEncoding::kGbk, kMsgAttemptsZh, outcome.attempts)), std::string::npos);
    EXPECT_NE(output.find("write passed! \n\r "), std::string::npos);
    EXPECT_EQ(errors, "");
}

// The slave drops off once the write cycle of word 4 has begun: that write is done, but
// unconfirmed, so the loop makes it again when the slave is back, then writes word 7.
TEST_F(AliasDialogTest, ASlaveBackAfterAnUnconfirmedAliasWriteGetsThePairFinished) {
    Bring(2);
    SimEepromSetLatency(first, 0, 0);
    SimEepromSetAlias(first, 0x0007);
    SimEepromAttach(segment);
    first->eeprom.faults.vanish_after_writes = 1;
    first->eeprom.faults.come_back = true;
    first->eeprom.faults.come_back_after_ms = 100;
    const AliasDialogOutcome outcome = Run("4243\n");
    EXPECT_TRUE(first->eeprom.vanish_fired);
    EXPECT_GT(outcome.attempts, 2);
    EXPECT_TRUE(outcome.passed);
    EXPECT_EQ(first->eeprom.counters.words_written, 3u);  // word 4 twice, word 7 once
    EXPECT_EQ(first->eeprom.words[4], 4243);
    EXPECT_TRUE(SimSiiHeaderValid(&first->eeprom));
    EXPECT_EQ(errors, "");
}

// Lost for good between the two writes: "write fail" on the console as always, and the
// line on the error stream that tells what the EEPROM holds and how to mend it. Running
// the dialog again once the slave answers does mend it.
TEST_F(AliasDialogTest, ASlaveLostBetweenTheWritesLeavesTheRepairLine) {
    Bring(2);
    SimEepromSetLatency(first, 0, 0);
    SimEepromSetAlias(first, 0x0007);
    uint16_t before[kHeaderWords];
    CopyHeader(before);
    SimEepromAttach(segment);
    first->eeprom.faults.vanish_at_write = 2;
    const AliasDialogOutcome outcome = Run("4242\n");
    EXPECT_TRUE(outcome.alias_written);
    EXPECT_FALSE(outcome.checksum_written);
    EXPECT_EQ(outcome.attempts, kWriteAttemptLimit + 1);
    EXPECT_EQ(outcome.write_stop, WriteStop::kNoAnswer);
    EXPECT_FALSE(outcome.passed);
    EXPECT_EQ(first->eeprom.words[4], 4242);
    EXPECT_EQ(first->eeprom.words[7], before[7]);
    EXPECT_FALSE(SimSiiHeaderValid(&first->eeprom));
    EXPECT_EQ(errors,
              "ecalias: slave 1 stopped answering between the alias and checksum writes: its EEPROM now holds alias "
              "4242 with a wrong checksum; run ecalias again once the module answers to rewrite both words\n");
    // The console carries the dialog's messages only, as they always were.
    Expected x{};
    x.name = g_master.slave_table[1].name;
    memcpy(x.first_dump, before, sizeof before);
    x.current = 7;
    x.echo = 4242;
    x.checksum = outcome.checksum;
    x.attempts = kWriteAttemptLimit + 1;
    x.read_back = 0;  // second dump and read-back get nothing: zeros
    x.passed = false;
    EXPECT_EQ(output, Transcript(ConsoleEncoding::kGbk, x));

    segment->vanished_from = 0;  // the module answers again
    const AliasDialogOutcome again = Run("4242\n");
    EXPECT_TRUE(again.passed);
    EXPECT_TRUE(SimSiiHeaderValid(&first->eeprom));
    EXPECT_EQ(first->eeprom.words[4], 4242);
    EXPECT_EQ(errors, "");
}

TEST_F(AliasDialogTest, ASlaveLostAtTheAliasWriteIsReportedWithBothPossibleStates) {
    Bring(1);
    SimEepromSetLatency(first, 0, 0);
    SimEepromSetAlias(first, 0x0007);
    SimEepromAttach(segment);
    first->eeprom.faults.vanish_at_write = 1;
    const AliasDialogOutcome outcome = Run("4242\n");
    EXPECT_FALSE(outcome.alias_written);
    EXPECT_EQ(outcome.write_stop, WriteStop::kNoAnswer);
    EXPECT_FALSE(outcome.passed);
    EXPECT_EQ(first->eeprom.words[4], 7);
    EXPECT_TRUE(SimSiiHeaderValid(&first->eeprom));
    // Whether the command arrived the master cannot tell: the line names both states.
    EXPECT_EQ(errors,
              "ecalias: slave 1 stopped answering during the alias write: its EEPROM holds either alias 7 as before "
              "or alias 4242 with a wrong checksum; run ecalias again once the module answers to rewrite both "
              "words\n");
}

// Ctrl-C (SIGINT) or a termination request (SIGTERM) while the pair is written waits
// until both write loops are over: the handler runs after the last checksum write went
// out, never between the two words.
TEST_F(AliasDialogTest, InterruptionsWaitUntilThePairIsWritten) {
    Bring(1);
    SimEepromSetLatency(first, 0, 0);
    struct sigaction record {};
    struct sigaction old_int {};
    struct sigaction old_term {};
    record.sa_handler = RecordSignal;
    sigemptyset(&record.sa_mask);
    ASSERT_EQ(sigaction(SIGINT, &record, &old_int), 0);
    ASSERT_EQ(sigaction(SIGTERM, &record, &old_term), 0);
    g_raise_at_alias_write = SIGINT;
    g_raise_at_checksum_write = SIGTERM;
    Refuse(0x0201, 7, 0, 3);  // the first checksum write fails: the pair takes a while
    const AliasDialogOutcome outcome = Run("321\n");
    sigset_t now;
    sigemptyset(&now);
    sigprocmask(SIG_BLOCK, nullptr, &now);
    const bool int_blocked = sigismember(&now, SIGINT) == 1;
    const bool term_blocked = sigismember(&now, SIGTERM) == 1;
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGTERM, &old_term, nullptr);

    EXPECT_TRUE(outcome.passed);
    EXPECT_EQ(outcome.attempts, 3);
    const std::string events = Events();
    ASSERT_EQ(std::count(events.begin(), events.end(), 'I'), 1) << events;
    ASSERT_EQ(std::count(events.begin(), events.end(), 'T'), 1) << events;
    EXPECT_EQ(events.find('A'), 0u) << events;
    EXPECT_GT(events.find('I'), events.rfind('C')) << events;
    EXPECT_GT(events.find('T'), events.rfind('C')) << events;
    EXPECT_FALSE(int_blocked);  // the mask is back as it was
    EXPECT_FALSE(term_blocked);
}

TEST(AliasRepairHintTest, TheSecondDumpOutranksWhatTheWritesSuggest) {
    AliasDialogOutcome o{};
    o.input_accepted = true;
    o.header_read = true;
    o.new_config_id = 300;
    o.old_alias = 5;
    o.checksum = 0x9A;
    o.header[2 * kChecksumWord] = 0x11;  // the old checksum word
    o.attempts = 101;
    char text[kRepairHintBytes];
    o.passed = true;
    EXPECT_FALSE(AliasRepairHint(o, text, sizeof text));
    EXPECT_STREQ(text, "");
    o.passed = false;

    // Word 4 confirmed, then the interface stayed busy: nothing read afterwards.
    o.alias_written = true;
    o.write_stop = WriteStop::kBusy;
    ASSERT_TRUE(AliasRepairHint(o, text, sizeof text));
    EXPECT_STREQ(text,
                 "ecalias: slave 1 kept its EEPROM busy during the checksum write: its EEPROM now holds alias 300 "
                 "with a wrong checksum; run ecalias again once the module answers to rewrite both words\n");

    // The alias write unconfirmed, but the slave was back for the second dump, which
    // shows the header as it was, or the new alias next to the old checksum.
    o.alias_written = false;
    o.write_stop = WriteStop::kNoAnswer;
    o.second_dump_read = 0xFF;
    o.second_dump[kAliasWord] = 5;
    o.second_dump[kChecksumWord] = 0x11;
    ASSERT_TRUE(AliasRepairHint(o, text, sizeof text));
    EXPECT_STREQ(text,
                 "ecalias: slave 1 stopped answering during the alias write: its EEPROM still holds alias 5; run "
                 "ecalias again once the module answers\n");
    o.second_dump[kAliasWord] = 300;
    ASSERT_TRUE(AliasRepairHint(o, text, sizeof text));
    EXPECT_NE(strstr(text, "now holds alias 300 with a wrong checksum"), nullptr) << text;
    o.second_dump[kChecksumWord] = 0x9A;
    ASSERT_TRUE(AliasRepairHint(o, text, sizeof text));
    EXPECT_NE(strstr(text, "holds alias 300 with its checksum"), nullptr) << text;

    // A short buffer gets a cut, terminated line.
    ASSERT_TRUE(AliasRepairHint(o, text, 8));
    EXPECT_EQ(strlen(text), 7u);
}

// ---- The dialog program: one adapter, exit statuses, reasons ----------------------

namespace {

// Runs RunDialogProgram with `input` as standard input (a file, so not a terminal) and
// keeps what it wrote on standard output and standard error.
struct ProgramRun {
    int status;
    std::string out;
    std::string err;
};

ProgramRun RunProgram(const char* adapter, const char* input) {
    char path[] = "/tmp/ecalias-dialog-input-XXXXXX";
    const int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, input, strlen(input)), static_cast<ssize_t>(strlen(input)));
    close(fd);
    const int saved_in = dup(STDIN_FILENO);
    EXPECT_NE(freopen(path, "r", stdin), nullptr);
    unlink(path);

    fflush(stdout);
    fflush(stderr);
    FILE* out = tmpfile();
    FILE* err = tmpfile();
    const int saved_out = dup(STDOUT_FILENO);
    const int saved_err = dup(STDERR_FILENO);
    dup2(fileno(out), STDOUT_FILENO);
    dup2(fileno(err), STDERR_FILENO);
    ProgramRun run{};
    run.status = RunDialogProgram(adapter);
    fflush(stdout);
    fflush(stderr);
    dup2(saved_out, STDOUT_FILENO);
    dup2(saved_err, STDERR_FILENO);
    close(saved_out);
    close(saved_err);
    dup2(saved_in, STDIN_FILENO);
    close(saved_in);
    clearerr(stdin);
    run.out = ReadAll(out);  // (closes the file)
    run.err = ReadAll(err);
    return run;
}

constexpr char kEmptySummary[] = "Number of slaves:0\r\n=============End=============\r\n";

class DialogProgramTest : public SegmentTest {
protected:
    void SetUp() override { ResetMaster(); }
    void TearDown() override {
        Deinit();
        SetSegmentHandler(nullptr);
        SegmentTest::TearDown();
    }
    VirtualClock clock{1};
};

}  // namespace

TEST_F(DialogProgramTest, OffATerminalItEndsWithZeroOnlyForAWritePassed) {
    // The program writes in the encoding the environment asks for.
    const ConsoleEncoding encoding = ConsoleEncodingFromLocale();
    ProgramRun run = RunProgram("sim:--slaves 2", "4660\r\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("write passed! \n\r "), std::string::npos);
    EXPECT_NE(run.out.find(Format(encoding, kMsgReadBackZh, 4660)), std::string::npos);
    const std::string close = Format(encoding, kMsgCloseZh);
    EXPECT_EQ(run.out.rfind(close), run.out.size() - close.size());  // the last message, then the end
    EXPECT_EQ(run.err, "");

    run = RunProgram("sim:--slaves 2", "12abc\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("write fail\n\r "), std::string::npos);
    EXPECT_NE(run.out.find(Format(encoding, kMsgAttemptsZh, 0)), std::string::npos);
    EXPECT_EQ(run.err, "ecalias: the config_id must be a whole decimal number from 0 to 65535; nothing was written\n");

    run = RunProgram("sim:--slaves 1", "");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "ecalias: no config_id was read from standard input; nothing was written\n");
}

TEST_F(DialogProgramTest, TheReasonOfAFailedWriteIsOneLineOnStandardError) {
    const ProgramRun run = RunProgram("sim:--slaves 1 --alias 1:77 --eeprom-nack-writes 1:all", "5\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("write fail\n\r "), std::string::npos);
    EXPECT_EQ(run.err,
              "ecalias: slave 1 refused the alias write (its EEPROM reported an error): its EEPROM still holds alias "
              "77; run ecalias again\n");
}

TEST_F(DialogProgramTest, NoSlavesOnTheAdapterGivenEndsWithOneAndSaysWhy) {
    ProgramRun run = RunProgram("sim:--slaves 0", "5\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, kEmptySummary);
    EXPECT_EQ(run.err,
              "ecalias: no slaves found: no slave answered on sim:--slaves 0; check the cable and the power of the "
              "first slave\n");

    // An adapter that cannot be opened: its line on standard output, the reason on
    // standard error, then the summary.
    run = RunProgram("sim:--no-such-option", "5\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, std::string("interface sim:--no-such-option could not open with pcap\n") + kEmptySummary);
    EXPECT_NE(run.err.find("sim:--no-such-option: "), std::string::npos);
    EXPECT_NE(run.err.find("ecalias: no slaves found: adapter sim:--no-such-option could not be opened\n"),
              std::string::npos);
}

TEST_F(DialogProgramTest, WithoutAnAdapterPseudoDevicesArePassedOverSilently) {
    InprocAdapter adapters[6] = {{"any", nullptr}, {"nflog", nullptr}, {"dbus-system", nullptr},
                                 {"usbmon1", nullptr}, {"bluetooth-monitor", nullptr}, {"eth7", nullptr}};
    for (InprocAdapter& a : adapters) a.fails_to_open = true;
    InprocInstall(adapters, 6);
    const ProgramRun run = RunProgram(nullptr, "5\n");
    InprocUninstall();
    EXPECT_EQ(run.status, 1);
    for (int i = 0; i < 5; i++) EXPECT_EQ(adapters[i].opens, 0) << adapters[i].name;
    EXPECT_EQ(run.out, std::string("interface eth7 could not open with pcap\n") + kEmptySummary);
    EXPECT_EQ(run.err.find("any"), std::string::npos);
    EXPECT_NE(run.err.find("ecalias: no slaves found: "), std::string::npos);

    // Named on purpose, a pseudo-device is refused unopened, with the reason.
    adapters[0].fails_to_open = false;
    InprocInstall(adapters, 6);
    const ProgramRun named = RunProgram("any", "5\n");
    InprocUninstall();
    EXPECT_EQ(named.status, 1);
    EXPECT_EQ(adapters[0].opens, 0);
    EXPECT_EQ(named.out, kEmptySummary);
    EXPECT_EQ(named.err,
              "ecalias: no slaves found: any is a pseudo-device of the capture library and carries no EtherCAT frames; "
              "name a network adapter (ecalias adapters lists them)\n");
}
