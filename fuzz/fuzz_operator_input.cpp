// The console tool's standard input: the operator's number.
//
// The input is what the operator typed, as a stream. The hand-written "%d" scan must
// agree with strtol on every number that fits 32 bits (value and where it stops), report
// numbers that do not fit instead of wrapping them, leave the value alone otherwise, and
// never claim to have read more than the stream held. The scan is repeated over the
// rest of the stream (skipping one character after a refusal) so that later numbers are
// judged too.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "harness.h"
#include "tool/operator_input.h"

namespace {

constexpr int kMaxScans = 64;
constexpr int32_t kUntouched = 0x5A5A5A5A;

bool OnlyWhiteSpace(const char* text, size_t length) {
    for (size_t i = 0; i < length; i++)
        if (!isspace(static_cast<unsigned char>(text[i]))) return false;
    return true;
}

// Judges one scan that started at `start` of the NUL-terminated copy `text` (which
// holds the stream's bytes; strtol sees them up to the first NUL, which the scan too
// takes for a character that ends the number).
void Judge(const char* text, size_t length, size_t start, OperatorInput outcome, int32_t value, long position) {
    FUZZ_CHECK(position >= static_cast<long>(start) && position <= static_cast<long>(length));
    const char* from = text + start;
    char* end = nullptr;
    errno = 0;
    long long reference = strtoll(from, &end, 10);
    bool converted = end != from;
    bool fits = converted && errno == 0 && reference >= INT32_MIN && reference <= INT32_MAX;
    if (fits) {
        FUZZ_CHECK(outcome == OperatorInput::kNumber);
        FUZZ_CHECK(value == static_cast<int32_t>(reference));
        FUZZ_CHECK(position == end - text);
        return;
    }
    FUZZ_CHECK(value == kUntouched);
    if (converted) {
        FUZZ_CHECK(outcome == OperatorInput::kOutOfRange);
        FUZZ_CHECK(position == end - text);
    } else if (OnlyWhiteSpace(from, length - start)) {
        FUZZ_CHECK(outcome == OperatorInput::kEndOfInput);
        FUZZ_CHECK(position == static_cast<long>(length));
    } else {
        FUZZ_CHECK(outcome == OperatorInput::kNotANumber);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A private copy: the stream may not be read beyond `size`, and strtol needs the
    // terminating NUL.
    char* text = static_cast<char*>(malloc(size + 1));
    if (size > 0) memcpy(text, data, size);
    text[size] = '\0';
    FILE* stream = size > 0 ? fmemopen(text, size, "r") : fopen("/dev/null", "r");
    if (stream == nullptr) {
        free(text);
        return 0;
    }
    for (int scan = 0; scan < kMaxScans; scan++) {
        long start = ftell(stream);
        int32_t value = kUntouched;
        OperatorInput outcome = ScanDecimal(stream, &value);
        long position = ftell(stream);
        Judge(text, size, static_cast<size_t>(start), outcome, value, position);
        if (outcome == OperatorInput::kEndOfInput) break;
        if (outcome == OperatorInput::kNotANumber && getc(stream) == EOF) break;
        if (ftell(stream) >= static_cast<long>(size)) break;
    }
    fclose(stream);
    free(text);
    return 0;
}
