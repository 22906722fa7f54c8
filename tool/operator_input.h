// The operator's number: one decimal integer read the way scanf's "%d" reads it
// (leading white space skipped, optional sign, decimal digits), written out by hand so
// that a number too large for 32 bits is noticed instead of being undefined.
#pragma once
#include <cstdint>
#include <cstdio>

enum class OperatorInput {
    kNumber,      // a number that fits 32 bits: stored
    kNotANumber,  // something other than digits came first (letters, a lone sign): value untouched
    kEndOfInput,  // the input ended (or failed) before anything but white space: value untouched
    kOutOfRange,  // digits that do not fit a 32-bit int: value untouched
};

// Reads from `in` up to the first character that cannot continue the number and puts
// that character back. `value` is written only for kNumber.
OperatorInput ScanDecimal(FILE* in, int32_t* value);
