// The console tool's entry: the summary printed when Init comes back, and the wait
// that keeps the console open until the operator closes the program.
#pragma once
#include <cstdio>

// The slave count line, one line per slave (number, name, hard flag) and the end line,
// each ending in carriage return and line feed.
void PrintSlaveSummary(FILE* out);

// Flushes standard output and waits, without using the processor, until a signal ends
// the process. Never returns.
[[noreturn]] void StayOpenUntilClosed();
