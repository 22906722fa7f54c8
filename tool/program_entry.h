// The console tool's entry: the summary it prints when Init comes back.
#pragma once
#include <cstdio>

// The slave count line, one line per slave (number, name, hard flag) and the end line,
// each ending in carriage return and line feed.
void PrintSlaveSummary(FILE* out);
