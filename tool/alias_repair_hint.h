// The line the console tool writes on standard error when the station-alias dialog
// fails: why it failed and, when the EEPROM may hold the new alias next to a checksum
// that no longer matches, how to repair it (run the tool again: it rewrites words 4
// and 7). The dialog's own messages stay as they are; this line is in English only.
#pragma once
#include <cstddef>

#include "tool/alias_dialog.h"

enum { kRepairHintBytes = 320 };

// Writes the line (ending in a line feed) into `text` and returns true; returns false,
// with `text` empty, for a run that passed.
bool AliasRepairHint(const AliasDialogOutcome& outcome, char* text, size_t size);
