#include "tool/dialog_main.h"

#include "api/connection.h"
#include "api/ecdevice.h"
#include "tool/alias_dialog.h"
#include "tool/program_entry.h"
#include "tool/stay_open.h"

// Init finds the adapter with slaves and hands over to the station-alias dialog, which
// never comes back. When Init does return, no adapter carried slaves: the summary says
// so and the program stays open until the operator closes it.
int RunDialogProgram(const char* /*adapter*/) {
    SetSegmentHandler(AliasDialog);
    Init();
    PrintSlaveSummary(stdout);
    StayOpenUntilClosed();
    return 1;
}
