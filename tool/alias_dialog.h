// The station-alias dialog of the console tool: shows slave 1, takes a new config_id,
// writes SII words 4 and 7, reads back and reports. Never returns.
#pragma once

[[noreturn]] void AliasDialog();
