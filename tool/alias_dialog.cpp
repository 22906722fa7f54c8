// PENDING: the station-alias dialog is being written.
#include "tool/alias_dialog.h"
#include <unistd.h>
void AliasDialog() { for (;;) pause(); }
