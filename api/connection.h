// Adapter scan behind Init, shared by the module and the console tool.
#pragma once
#include <shared_mutex>

struct CaptureBackend;

struct AdapterEntry {
    char name[128];
    char description[128];
    AdapterEntry* next;
};

// What happens once an adapter with slaves is found. The console tool installs the
// station-alias dialog (Init returns the slave count when it returns); a host program's
// Init, with no handler, makes the slaves ready for mailbox traffic and returns the
// slave count.
using SegmentHandler = void (*)();
void SetSegmentHandler(SegmentHandler handler);

// Builds the adapter list from the capture back end (exposed for tests). Returns the
// head, or null when listing failed or no adapter exists; *listing_failed tells which.
AdapterEntry* BuildAdapterList(bool* listing_failed);
void FreeAdapterList(AdapterEntry* head);

// Init and Deinit replace what every other call works with (the port, the slave table),
// so they hold this lock alone: a second Init waits for the first, and Deinit waits for
// the calls in flight. Every other exported function holds it shared for its whole run,
// so calls on different slaves go on side by side.
std::shared_mutex& MasterCallLock();

// What the last Init (or InitOnAdapter) found on its way, for the console tool's
// reason when no slave answered. Pseudo-devices (link/pseudo_adapter.h) are not counted.
struct AdapterScanSummary {
    bool listing_failed;       // the capture library could not list the adapters
    int adapters_opened;       // adapters opened for the scan
    int adapters_failed;       // adapters that could not be opened
    int permission_denied;     // of those, the ones refused for a missing capability
    int adapters_with_slaves;  // 1 once an adapter with slaves was found
    bool pseudo_adapter;       // InitOnAdapter was given a pseudo-device: nothing was opened
};
AdapterScanSummary LastAdapterScan();

// Init on one adapter only, on the given capture back end (the console tool's -i, which
// may name an in-process "sim:" segment): the same bring-up and hand-over as Init.
// Returns the slave count, 0 when the adapter cannot be opened or no slave answers. A
// pseudo-device of the capture back end is refused unopened (pseudo_adapter is set).
int InitOnAdapter(const CaptureBackend* backend, const char* adapter);
