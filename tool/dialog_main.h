// The console tool without a command: the station-alias dialog for slave 1.
#pragma once

// Finds the adapter with slaves (only `adapter` when it is not NULL), brings the segment
// up and runs the station-alias dialog. Returns the program's exit status where the
// dialog ends the program; on a terminal it waits until the operator closes it.
int RunDialogProgram(const char* adapter);
