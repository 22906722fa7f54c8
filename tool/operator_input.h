// The operator's number: the new station alias, typed or sent by a barcode scanner.
//
// Only a whole decimal number from 0 to 65535 is an answer. Spaces and tabs around it
// and the carriage return a scanner sends before (or instead of) the line feed are
// fine; anything else on the line (letters, "0x1234", "12abc", a sign, a value past
// 65535) is refused as a whole, so that nothing the operator did not mean is written.
// Blank lines before the number are passed over, as the dialog always did.
#pragma once
#include <cstdint>
#include <cstdio>

enum class OperatorInput {
    kNumber,      // a whole number 0..65535 alone on its line: stored
    kNotANumber,  // the line holds something else (letters, a sign, 0x, digits followed by more): value untouched
    kEndOfInput,  // the input ended (or failed) before anything but white space: value untouched
    kOutOfRange,  // only digits, but more than 65535: value untouched
};

// Reads one line from `in` (up to and including its line feed or carriage return, or
// to the end of the input) and judges it. `value` is written only for kNumber.
OperatorInput ScanAliasValue(FILE* in, uint16_t* value);
