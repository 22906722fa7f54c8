// The console tool's standard input: the operator's new station alias.
//
// The input is what the operator (or a barcode scanner) sent, as a stream. The line
// scan must agree with a plain reference judged on the bytes: blank lines passed over,
// then one line that is a whole decimal number 0..65535 with only blanks around it and
// a line feed or carriage return (or the end) after it; anything else refused with the
// value left alone; the scan never reads past the line it judged. The scan is repeated
// over the rest of the stream so that later lines are judged too.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "harness.h"
#include "tool/operator_input.h"

namespace {

constexpr int kMaxScans = 64;
constexpr uint16_t kUntouched = 0x5A5A;

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }
bool LineEnd(char c) { return c == '\n' || c == '\r'; }

struct Reference {
    OperatorInput kind;
    uint16_t value;
    size_t end;  // where the scan must stop: after the line's terminator, or the input's end
};

Reference Judge(const char* text, size_t length, size_t start) {
    size_t at = start;
    while (at < length && (Blank(text[at]) || LineEnd(text[at]))) at++;
    if (at == length) return Reference{OperatorInput::kEndOfInput, 0, length};
    size_t line_end = at;
    while (line_end < length && !LineEnd(text[line_end])) line_end++;
    const size_t end = line_end < length ? line_end + 1 : length;
    size_t last = line_end;
    while (last > at && Blank(text[last - 1])) last--;
    // The line without its blanks: only digits make a number.
    bool digits = last > at;
    for (size_t i = at; i < last; i++)
        if (text[i] < '0' || text[i] > '9') digits = false;
    if (!digits) return Reference{OperatorInput::kNotANumber, 0, end};
    size_t first = at;
    while (first + 1 < last && text[first] == '0') first++;  // leading zeros do not count
    if (last - first > 5) return Reference{OperatorInput::kOutOfRange, 0, end};
    unsigned long value = 0;
    for (size_t i = first; i < last; i++) value = value * 10 + static_cast<unsigned long>(text[i] - '0');
    if (value > 65535) return Reference{OperatorInput::kOutOfRange, 0, end};
    return Reference{OperatorInput::kNumber, static_cast<uint16_t>(value), end};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A private copy: the stream may not be read beyond `size`.
    char* text = static_cast<char*>(malloc(size + 1));
    if (size > 0) memcpy(text, data, size);
    text[size] = '\0';
    FILE* stream = size > 0 ? fmemopen(text, size, "r") : fopen("/dev/null", "r");
    if (stream == nullptr) {
        free(text);
        return 0;
    }
    for (int scan = 0; scan < kMaxScans; scan++) {
        const long start = ftell(stream);
        FUZZ_CHECK(start >= 0 && static_cast<size_t>(start) <= size);
        uint16_t value = kUntouched;
        const OperatorInput outcome = ScanAliasValue(stream, &value);
        const long position = ftell(stream);
        const Reference want = Judge(text, size, static_cast<size_t>(start));
        FUZZ_CHECK(outcome == want.kind);
        FUZZ_CHECK(position == static_cast<long>(want.end));
        FUZZ_CHECK(value == (outcome == OperatorInput::kNumber ? want.value : kUntouched));
        if (outcome == OperatorInput::kEndOfInput || position >= static_cast<long>(size)) break;
    }
    fclose(stream);
    free(text);
    return 0;
}
