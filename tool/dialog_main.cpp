#include "tool/dialog_main.h"

#include <unistd.h>

#include <cstdio>

#include "api/connection.h"
#include "api/ecdevice.h"
#include "link/capture.h"
#include "sim/sim_capture.h"
#include "tool/alias_dialog.h"
#include "tool/program_entry.h"
#include "tool/stay_open.h"

namespace {

bool g_dialog_ran = false;
bool g_dialog_passed = false;

// Runs inside Init once an adapter with slaves is found.
void DialogOnTheSegment() {
    const AliasDialogOutcome outcome = RunAliasDialog(stdin, stdout, ConsoleEncodingFromLocale(), stderr);
    g_dialog_ran = true;
    g_dialog_passed = outcome.passed;
}

// Why no slave was found, in one English line on standard error.
void SayWhyNoSlaves(const char* adapter) {
    const AdapterScanSummary scan = LastAdapterScan();
    if (scan.permission_denied > 0) {
        char program[512] = "ecalias";
        const ssize_t length = readlink("/proc/self/exe", program, sizeof program - 1);
        if (length > 0) program[length] = '\0';
        fprintf(stderr,
                "ecalias: no slaves found: capturing is not permitted; allow it with `sudo setcap "
                "cap_net_raw,cap_net_admin+ep %s` or run as root\n",
                program);
    } else if (scan.pseudo_adapter)
        fprintf(stderr,
                "ecalias: no slaves found: %s is a pseudo-device of the capture library and carries no EtherCAT "
                "frames; name a network adapter (ecalias adapters lists them)\n",
                adapter);
    else if (scan.listing_failed)
        fprintf(stderr, "ecalias: no slaves found: the capture library could not list the adapters\n");
    else if (adapter != nullptr && scan.adapters_opened == 0)
        fprintf(stderr, "ecalias: no slaves found: adapter %s could not be opened\n", adapter);
    else if (scan.adapters_opened == 0 && scan.adapters_failed == 0)
        fprintf(stderr, "ecalias: no slaves found: there is no network adapter that could carry EtherCAT frames\n");
    else if (scan.adapters_opened == 0)
        fprintf(stderr, "ecalias: no slaves found: no network adapter could be opened (the reasons are above)\n");
    else if (adapter != nullptr)
        fprintf(stderr,
                "ecalias: no slaves found: no slave answered on %s; check the cable and the power of the "
                "first slave\n",
                adapter);
    else
        fprintf(stderr,
                "ecalias: no slaves found: no slave answered on any adapter; check the cable and the power "
                "of the first slave\n");
    fflush(stderr);
}

}  // namespace

// Init finds the adapter with slaves and hands over to the station-alias dialog. When no
// adapter carried slaves, the summary says so. On a terminal the program then stays
// open until the operator closes it; from a pipe or a file it ends with its status.
int RunDialogProgram(const char* adapter) {
    g_dialog_ran = false;
    g_dialog_passed = false;
    SetSegmentHandler(DialogOnTheSegment);
    if (adapter == nullptr) {
        Init();
    } else {
        const CaptureBackend* backend = SimAdapterName(adapter) ? &kSimCaptureBackend : CaptureActiveBackend();
        InitOnAdapter(backend, adapter);
    }
    if (!g_dialog_ran) {
        PrintSlaveSummary(stdout);
        fflush(stdout);
        SayWhyNoSlaves(adapter);
    }
    if (isatty(STDIN_FILENO)) StayOpenUntilClosed();
    fflush(stdout);
    // The adapter (and its lock) is released before the program ends; for a "sim:"
    // segment this also writes its EEPROM images back.
    Deinit();
    return g_dialog_ran && g_dialog_passed ? 0 : 1;
}
