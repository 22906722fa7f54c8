// The console tool without a command: the station-alias dialog for slave 1.
#pragma once

// Finds the adapter with slaves (only `adapter` when it is not NULL; "sim:OPTIONS" names
// an in-process virtual segment), brings the segment up and runs the station-alias
// dialog. When standard input is not a terminal it returns after the last message: 0
// for "write passed!", 1 otherwise (no slaves found included). On a terminal it waits,
// as the dialog always did, until the operator closes it, and does not return.
int RunDialogProgram(const char* adapter);
