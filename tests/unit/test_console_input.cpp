#include <gtest/gtest.h>

#include "tool/operator_input.h"

namespace {

struct Scan {
    OperatorInput kind;
    uint16_t value;
    int next;  // the character left in the input after the scan (EOF when none)
};

constexpr uint16_t kUntouched = 0x7777;

Scan ScanText(const char* text) {
    FILE* in = tmpfile();
    fputs(text, in);
    rewind(in);
    Scan scan{OperatorInput::kNumber, kUntouched, EOF};
    scan.kind = ScanAliasValue(in, &scan.value);
    scan.next = getc(in);
    fclose(in);
    return scan;
}

}  // namespace

TEST(OperatorInput, TakesAWholeDecimalWithBlanksAndTheLineEndsScannersSend) {
    struct Case {
        const char* text;
        uint16_t value;
        int next;
    } cases[] = {
        {"1234\n", 1234, EOF},           {"0\n", 0, EOF},
        {"65535\n", 65535, EOF},         {"007\n", 7, EOF},
        {" \t 42 \t\n", 42, EOF},        {"42\r\n", 42, '\n'},  // CR LF: the CR ends the line
        {"42\r", 42, EOF},               {"42", 42, EOF},        // the end of the input ends the line too
        {"\n\n  \n99\nnext\n", 99, 'n'},  // blank lines before the number are passed over
        {"5\n6\n", 5, '6'},              // one line per answer
    };
    for (const Case& c : cases) {
        const Scan s = ScanText(c.text);
        EXPECT_EQ(s.kind, OperatorInput::kNumber) << '"' << c.text << '"';
        EXPECT_EQ(s.value, c.value) << '"' << c.text << '"';
        EXPECT_EQ(s.next, c.next) << '"' << c.text << '"';
    }
}

TEST(OperatorInput, RefusesEveryLineThatIsNotAWholeNumberAndLeavesTheValueAlone) {
    for (const char* text : {"abc\n", "0x1234\n", "12abc\n", "-1\n", "+5\n", "12 34\n", "1.5\n", "1e3\n", "- 5\n",
                             "12,5\n", "4660h\n", "\x31\x32\xc2\xa0\n"}) {
        const Scan s = ScanText(text);
        EXPECT_EQ(s.kind, OperatorInput::kNotANumber) << '"' << text << '"';
        EXPECT_EQ(s.value, kUntouched) << '"' << text << '"';
        EXPECT_EQ(s.next, EOF) << '"' << text << '"';  // the refused line is read to its end
    }
    // Only the refused line is read: the next one stays for whoever reads on.
    const Scan s = ScanText("12abc\n77\n");
    EXPECT_EQ(s.kind, OperatorInput::kNotANumber);
    EXPECT_EQ(s.next, '7');
}

TEST(OperatorInput, RefusesValuesPast65535AndNumbersTooLongForAnyInteger) {
    for (const char* text : {"65536\n", "70000\n", "4294967296\n", "99999999999999999999999999999999\n"}) {
        const Scan s = ScanText(text);
        EXPECT_EQ(s.kind, OperatorInput::kOutOfRange) << text;
        EXPECT_EQ(s.value, kUntouched) << text;
    }
    // Digits past the range followed by other characters are no number at all.
    EXPECT_EQ(ScanText("70000x\n").kind, OperatorInput::kNotANumber);
}

TEST(OperatorInput, TellsAnEndedInputFromAnAnswer) {
    for (const char* text : {"", "  \n\t\n", "\r\n\r\n"}) {
        const Scan s = ScanText(text);
        EXPECT_EQ(s.kind, OperatorInput::kEndOfInput) << '"' << text << '"';
        EXPECT_EQ(s.value, kUntouched);
    }
}
