#include <gtest/gtest.h>

#include "tool/operator_input.h"

namespace {

struct Scan {
    OperatorInput kind;
    int32_t value;
    int next;  // the character left in the input after the scan (EOF when none)
};

Scan ScanText(const char* text) {
    FILE* in = tmpfile();
    fputs(text, in);
    rewind(in);
    Scan scan{OperatorInput::kNumber, -77, EOF};
    scan.kind = ScanDecimal(in, &scan.value);
    scan.next = getc(in);
    fclose(in);
    return scan;
}

}  // namespace

TEST(OperatorInput, ReadsOneSignedDecimalAfterWhiteSpace) {
    Scan s = ScanText("1234\n");
    EXPECT_EQ(s.kind, OperatorInput::kNumber);
    EXPECT_EQ(s.value, 1234);
    EXPECT_EQ(s.next, '\n');

    s = ScanText(" \t\n\n  -1\n");
    EXPECT_EQ(s.kind, OperatorInput::kNumber);
    EXPECT_EQ(s.value, -1);

    s = ScanText("+65537");
    EXPECT_EQ(s.kind, OperatorInput::kNumber);
    EXPECT_EQ(s.value, 65537);  // reduced to 16 bits by the dialog, not here
    EXPECT_EQ(s.next, EOF);

    s = ScanText("0012abc");
    EXPECT_EQ(s.kind, OperatorInput::kNumber);
    EXPECT_EQ(s.value, 12);
    EXPECT_EQ(s.next, 'a');
}

TEST(OperatorInput, LeavesTheValueAloneWhenNoNumberComes) {
    Scan s = ScanText("abc\n");
    EXPECT_EQ(s.kind, OperatorInput::kNotANumber);
    EXPECT_EQ(s.value, -77);
    EXPECT_EQ(s.next, 'a');  // nothing but white space consumed

    s = ScanText("-x");
    EXPECT_EQ(s.kind, OperatorInput::kNotANumber);
    EXPECT_EQ(s.value, -77);

    s = ScanText("- 5");
    EXPECT_EQ(s.kind, OperatorInput::kNotANumber);

    s = ScanText("+");
    EXPECT_EQ(s.kind, OperatorInput::kNotANumber);
}

TEST(OperatorInput, TellsAnEndedInputFromAnAnswer) {
    Scan s = ScanText("");
    EXPECT_EQ(s.kind, OperatorInput::kEndOfInput);
    EXPECT_EQ(s.value, -77);

    s = ScanText("  \n\t\n");
    EXPECT_EQ(s.kind, OperatorInput::kEndOfInput);
    EXPECT_EQ(s.value, -77);
}

TEST(OperatorInput, RefusesNumbersBeyond32BitsAndConsumesTheirDigits) {
    Scan s = ScanText("2147483647");
    EXPECT_EQ(s.kind, OperatorInput::kNumber);
    EXPECT_EQ(s.value, 2147483647);

    s = ScanText("-2147483648");
    EXPECT_EQ(s.kind, OperatorInput::kNumber);
    EXPECT_EQ(s.value, INT32_MIN);

    s = ScanText("2147483648\n");
    EXPECT_EQ(s.kind, OperatorInput::kOutOfRange);
    EXPECT_EQ(s.value, -77);
    EXPECT_EQ(s.next, '\n');

    s = ScanText("-2147483649");
    EXPECT_EQ(s.kind, OperatorInput::kOutOfRange);

    s = ScanText("99999999999999999999999999999999x");
    EXPECT_EQ(s.kind, OperatorInput::kOutOfRange);
    EXPECT_EQ(s.next, 'x');
}
