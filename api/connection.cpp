// Connection functions: the adapter scan, Init, Deinit and the slave queries.
#include "api/connection.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "ecdevice.h"
#include "link/capture.h"
#include "link/frame_port.h"
#include "link/pseudo_adapter.h"
#include "slave/bringup.h"
#include "slave/context.h"
#include "slave/eeprom.h"

#define EC_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

SegmentHandler g_segment_handler = nullptr;
std::shared_mutex g_master_call_lock;

struct ListBuilder {
    AdapterEntry* head;
    AdapterEntry* tail;
    bool out_of_memory;
};

void CopyAdapterText(char* destination, const char* text) {
    if (text == nullptr) {
        destination[0] = '\0';
        return;
    }
    size_t length = strnlen(text, 127);
    memcpy(destination, text, length);
    destination[length] = '\0';
}

void AppendAdapter(void* context, const char* name, const char* description) {
    ListBuilder* builder = static_cast<ListBuilder*>(context);
    if (builder->out_of_memory) return;
    AdapterEntry* entry = new (std::nothrow) AdapterEntry{};
    if (entry == nullptr) {
        // Keep the adapters listed so far: a scan over part of the list is still useful.
        builder->out_of_memory = true;
        return;
    }
    CopyAdapterText(entry->name, name);
    CopyAdapterText(entry->description, description);
    if (builder->tail != nullptr)
        builder->tail->next = entry;
    else
        builder->head = entry;
    builder->tail = entry;
}

}  // namespace

void SetSegmentHandler(SegmentHandler handler) { g_segment_handler = handler; }

std::shared_mutex& MasterCallLock() { return g_master_call_lock; }

AdapterEntry* BuildAdapterList(bool* listing_failed) {
    ListBuilder builder{};
    char errbuf[kCaptureErrorSize] = {0};
    *listing_failed = false;
    if (CaptureActiveBackend()->list_adapters(AppendAdapter, &builder, errbuf) == -1) {
        fprintf(stderr, "Error in pcap_findalldevs_ex: %s\n", errbuf);
        *listing_failed = true;
        FreeAdapterList(builder.head);
        return nullptr;
    }
    if (builder.out_of_memory) fprintf(stderr, "out of memory: the adapter list is incomplete\n");
    return builder.head;
}

void FreeAdapterList(AdapterEntry* head) {
    while (head != nullptr) {
        AdapterEntry* next = head->next;
        delete head;
        head = next;
    }
}

// Makes every slave with a mailbox ready for SDO traffic (defined with the mailbox code).
int PrepareMailboxes(MasterContext* master);

namespace {

// The bring-up names slave 1 only, for the console tool. A host program lists every
// slave, so its Init names the others the same way: string 1 of the SII strings
// category, or the vendor/product fallback when there is none or it cannot be read.
void NameRemainingSlaves() { NameSlaves(&g_master, 2); }

}  // namespace

namespace {

AdapterScanSummary g_last_scan;

// Capture libraries word a missing capability differently; these cover libpcap's texts
// for EPERM and EACCES. A lock directory the user may not write is another matter, with
// its own fix in its message.
bool PermissionText(const char* text) {
    if (strstr(text, "adapter lock") != nullptr) return false;
    return strstr(text, "ermission") != nullptr || strstr(text, "not permitted") != nullptr ||
           strstr(text, "EPERM") != nullptr;
}

// Opens one adapter of the scan on `backend`. An adapter that cannot be opened gets its
// line on standard output and the capture library's reason on standard error.
bool OpenForScan(const CaptureBackend* backend, const char* name) {
    char errbuf[kCaptureErrorSize] = {0};
    if (PortOpenOn(&g_master.port, backend, name, errbuf) == 1) {
        g_last_scan.adapters_opened++;
        return true;
    }
    g_last_scan.adapters_failed++;
    if (PermissionText(errbuf)) g_last_scan.permission_denied++;
    printf("interface %s could not open with pcap\n", name);
    fflush(stdout);
    // The reason names what to fix; standard output keeps the fixed messages only.
    if (errbuf[0] != '\0') fprintf(stderr, "%s: %s\n", name, errbuf);
    return false;
}

// After the bring-up found slaves: the console tool's handler, or a host's preparation.
// Returns the slave count; `alone` is released before the handler runs.
int TakeOver(std::unique_lock<std::shared_mutex>& alone) {
    if (g_segment_handler != nullptr) {
        // The console tool runs nothing else: the dialog may ask the exported queries
        // without waiting for itself.
        alone.unlock();
        g_segment_handler();  // the console tool's dialog
        return g_master.slave_count;
    }
    NameRemainingSlaves();
    PrepareMailboxes(&g_master);
    return g_master.slave_count;
}

void StartAfresh() {
    // A second Init starts afresh: the port of an earlier one is closed, and a scan that
    // finds nothing must not leave the earlier count behind for the host to trust.
    PortClose(&g_master.port);
    g_master.slave_count = 0;
    OwedAnswersZero(&g_master);  // a new segment owes nothing
    g_last_scan = AdapterScanSummary{};
}

}  // namespace

AdapterScanSummary LastAdapterScan() { return g_last_scan; }

int InitOnAdapter(const CaptureBackend* backend, const char* adapter) {
    std::unique_lock<std::shared_mutex> alone(g_master_call_lock);
    StartAfresh();
    if (backend == nullptr || adapter == nullptr) return 0;
    // Named explicitly, a pseudo-device is still no place for slaves: nothing is sent.
    if (backend == CaptureActiveBackend() && PseudoAdapter(adapter)) {
        g_last_scan.pseudo_adapter = true;
        return 0;
    }
    if (!OpenForScan(backend, adapter)) return 0;
    if (ConfigureNetwork(&g_master) > 0) {
        g_last_scan.adapters_with_slaves = 1;
        return TakeOver(alone);
    }
    PortClose(&g_master.port);
    return 0;
}

EC_EXPORT int Init(void) {
    std::unique_lock<std::shared_mutex> alone(g_master_call_lock);
    StartAfresh();
    bool listing_failed = false;
    AdapterEntry* adapters = BuildAdapterList(&listing_failed);
    g_last_scan.listing_failed = listing_failed;
    for (AdapterEntry* entry = adapters; entry != nullptr; entry = entry->next) {
        // Pseudo-devices carry no Ethernet frames: no slave can answer there.
        if (PseudoAdapter(entry->name)) continue;
        if (!OpenForScan(CaptureActiveBackend(), entry->name)) continue;
        if (ConfigureNetwork(&g_master) > 0) {
            g_last_scan.adapters_with_slaves = 1;
            FreeAdapterList(adapters);
            return TakeOver(alone);
        }
        PortClose(&g_master.port);
    }
    FreeAdapterList(adapters);
    return 0;
}

EC_EXPORT int Deinit(void) {
    std::unique_lock<std::shared_mutex> alone(g_master_call_lock);
    return PortClose(&g_master.port);
}

EC_EXPORT int GetSlaveCount(void) {
    std::shared_lock<std::shared_mutex> beside_others(g_master_call_lock);
    return g_master.slave_count;
}

EC_EXPORT int GetSlaveHardFlag(int slave) {
    std::shared_lock<std::shared_mutex> beside_others(g_master_call_lock);
    return SlaveNumberValid(&g_master, slave) ? 0 : -1;
}

EC_EXPORT const char* GetSlaveName(int slave) {
    std::shared_lock<std::shared_mutex> beside_others(g_master_call_lock);
    return SlaveNumberValid(&g_master, slave) ? g_master.slave_table[slave].name : nullptr;
}
