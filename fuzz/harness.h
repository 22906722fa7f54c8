// Shared pieces of the fuzz targets: a reader over the fuzz input, a check that stops
// the run with a message, and the reset of the master's one context between inputs.
#pragma once
#include <cstddef>
#include <cstdint>

// Reads the fuzz input front to back. Past the end every read yields zeros, so a short
// input is still a complete (if dull) scenario.
struct FuzzReader {
    const uint8_t* data;
    size_t size;
    size_t at;

    bool Empty() const { return at >= size; }
    size_t Remaining() const { return at < size ? size - at : 0; }
    uint8_t Byte() { return at < size ? data[at++] : 0; }
    uint16_t Word() {
        uint16_t low = Byte();
        return static_cast<uint16_t>(low | (Byte() << 8));
    }
    uint32_t Long() {
        uint32_t low = Word();
        return low | (static_cast<uint32_t>(Word()) << 16);
    }
    // Copies up to n bytes; returns how many were left to copy.
    size_t Take(uint8_t* out, size_t n);
};

FuzzReader MakeReader(const uint8_t* data, size_t size);

// A length as outside bytes might give it: mostly inside 0..limit, and when the high
// bit of the word is set, any value up to 32767 (so the refusals are exercised too).
uint16_t FuzzLength(FuzzReader* reader, uint16_t limit);

// Stops the run when a property of the code under test does not hold. libFuzzer then
// keeps the input that caused it.
[[noreturn]] void FuzzFail(const char* file, int line, const char* what);
#define FUZZ_CHECK(condition) \
    ((condition) ? (void)0 : FuzzFail(__FILE__, __LINE__, #condition))

// Prints a line to standard error when EC_FUZZ_TRACE=1 is set: what a target did with
// an input, for looking at a finding or checking that a seed replays its recording.
void FuzzTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Puts the master's context back to its power-on state: port closed, buffers and
// tables zero. Every input starts from here, so a finding reproduces on its own.
void FuzzResetMaster();

// Properties every target checks after its calls: slot states within EMPTY..COMPLETE,
// error-list positions within the list, slave records beyond slave_count untouched.
void FuzzCheckMasterInvariants();
