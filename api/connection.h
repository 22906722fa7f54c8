// Adapter scan behind Init, shared by the module and the console tool.
#pragma once
#include <shared_mutex>

struct AdapterEntry {
    char name[128];
    char description[128];
    AdapterEntry* next;
};

// What happens once an adapter with slaves is found. The console tool installs the
// station-alias dialog (which never returns); a host program's Init, with no handler,
// makes the slaves ready for mailbox traffic and returns the slave count.
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
