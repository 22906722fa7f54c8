#include "tool/operator_input.h"

namespace {

bool Blank(int c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }
bool LineEnd(int c) { return c == '\n' || c == '\r'; }
bool Digit(int c) { return c >= '0' && c <= '9'; }

// The rest of a refused line is read too, so that what follows it is not taken for the
// start of another answer.
void SkipRestOfLine(FILE* in, int c) {
    while (c != EOF && !LineEnd(c)) c = getc(in);
}

}  // namespace

OperatorInput ScanAliasValue(FILE* in, uint16_t* value) {
    int c = getc(in);
    while (c != EOF && (Blank(c) || LineEnd(c))) c = getc(in);
    if (c == EOF) return OperatorInput::kEndOfInput;
    if (!Digit(c)) {
        SkipRestOfLine(in, c);
        return OperatorInput::kNotANumber;
    }
    // Stop growing the value once it is past 65535; the remaining digits are still read.
    uint32_t number = 0;
    bool too_large = false;
    while (Digit(c)) {
        if (!too_large) {
            number = number * 10 + static_cast<uint32_t>(c - '0');
            too_large = number > UINT16_MAX;
        }
        c = getc(in);
    }
    while (Blank(c)) c = getc(in);
    if (c != EOF && !LineEnd(c)) {
        SkipRestOfLine(in, c);
        return OperatorInput::kNotANumber;
    }
    if (too_large) return OperatorInput::kOutOfRange;
    *value = static_cast<uint16_t>(number);
    return OperatorInput::kNumber;
}
