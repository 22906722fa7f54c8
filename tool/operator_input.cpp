#include "tool/operator_input.h"

#include <cctype>

OperatorInput ScanDecimal(FILE* in, int32_t* value) {
    int c = getc(in);
    while (c != EOF && isspace(c)) c = getc(in);
    if (c == EOF) return OperatorInput::kEndOfInput;

    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        c = getc(in);
    }
    if (c == EOF || !isdigit(c)) {
        if (c != EOF) ungetc(c, in);
        return OperatorInput::kNotANumber;
    }

    // Accumulate the magnitude in 64 bits and stop growing it once it is beyond any
    // 32-bit value; the remaining digits are still consumed, as the scan would.
    const int64_t limit = negative ? INT64_C(2147483648) : INT64_C(2147483647);
    int64_t magnitude = 0;
    bool too_large = false;
    while (c != EOF && isdigit(c)) {
        if (!too_large) {
            magnitude = magnitude * 10 + (c - '0');
            too_large = magnitude > limit;
        }
        c = getc(in);
    }
    if (c != EOF) ungetc(c, in);
    if (too_large) return OperatorInput::kOutOfRange;
    *value = static_cast<int32_t>(negative ? -magnitude : magnitude);
    return OperatorInput::kNumber;
}
