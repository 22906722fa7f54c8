// The console tool: sets the station alias of the first slave on the segment.
//
// Init finds the adapter with slaves and hands over to the station-alias dialog, which
// never comes back. When Init does return, no adapter carried slaves: the summary says
// so and the program stays open until the operator closes it.
#include "api/connection.h"
#include "api/ecdevice.h"
#include "tool/alias_dialog.h"
#include "tool/program_entry.h"
#include "tool/stay_open.h"

int main(int, char**) {
    SetSegmentHandler(AliasDialog);
    Init();
    PrintSlaveSummary(stdout);
    StayOpenUntilClosed();
}
