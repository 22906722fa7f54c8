// The console tool: commands, or without one the station-alias dialog for slave 1.
#include <cstdio>

#include "tool/cli/cli.h"

int main(int argc, char** argv) { return RunCommandLine(argc, argv, stdout, stderr); }
