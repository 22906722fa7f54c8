// libpcap back end of the capture seam.
#include <pcap/pcap.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "link/adapter_lock.h"
#include "link/capture.h"

namespace {

int PcapListAdapters(void (*visit)(void*, const char*, const char*), void* context, char* errbuf) {
    pcap_if_t* adapters = nullptr;
    char pcap_error[PCAP_ERRBUF_SIZE] = {0};
    if (pcap_findalldevs(&adapters, pcap_error) == -1) {
        snprintf(errbuf, kCaptureErrorSize, "%s", pcap_error);
        return -1;
    }
    for (pcap_if_t* a = adapters; a != nullptr; a = a->next) visit(context, a->name, a->description);
    pcap_freealldevs(adapters);
    return 0;
}

// An open adapter: the capture handle and the lock that keeps every other master off it.
struct PcapAdapter {
    pcap_t* pcap;
    AdapterLock* lock;
};

void* PcapOpen(const char* name, char* errbuf) {
    // Locked before it is opened, so that a second master never gets to send on it.
    AdapterLock* lock = AdapterLockAcquire(name, errbuf);
    if (lock == nullptr) return nullptr;
    PcapAdapter* adapter = new (std::nothrow) PcapAdapter{nullptr, lock};
    if (adapter == nullptr) {
        snprintf(errbuf, kCaptureErrorSize, "out of memory");
        AdapterLockRelease(lock);
        return nullptr;
    }
    char pcap_error[PCAP_ERRBUF_SIZE] = {0};
    pcap_t* handle = pcap_create(name, pcap_error);
    if (handle == nullptr) {
        snprintf(errbuf, kCaptureErrorSize, "%s", pcap_error);
        AdapterLockRelease(lock);
        delete adapter;
        return nullptr;
    }
    // Promiscuous: every frame on the segment. Immediate mode: no buffering in the
    // kernel ring. Non-blocking: a read returns at once. Direction IN: this host's own
    // frames are never delivered back, so a request is never taken for its reply.
    bool ok = pcap_set_snaplen(handle, 65536) == 0 && pcap_set_promisc(handle, 1) == 0 &&
              pcap_set_immediate_mode(handle, 1) == 0 && pcap_activate(handle) >= 0 &&
              pcap_setnonblock(handle, 1, pcap_error) == 0 && pcap_setdirection(handle, PCAP_D_IN) == 0;
    if (!ok) {
        snprintf(errbuf, kCaptureErrorSize, "%s", pcap_geterr(handle));
        pcap_close(handle);
        AdapterLockRelease(lock);
        delete adapter;
        return nullptr;
    }
    adapter->pcap = handle;
    return adapter;
}

int PcapSend(void* handle, const uint8_t* frame, int length) {
    return pcap_sendpacket(static_cast<PcapAdapter*>(handle)->pcap, frame, length);
}

int PcapNext(void* handle, const uint8_t** frame, int* length) {
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    int rc = pcap_next_ex(static_cast<PcapAdapter*>(handle)->pcap, &header, &data);
    if (rc <= 0) return rc < 0 ? -1 : 0;
    *frame = data;
    *length = static_cast<int>(header->caplen);
    return 1;
}

// The lock goes only after the adapter is closed.
void PcapClose(void* handle) {
    PcapAdapter* adapter = static_cast<PcapAdapter*>(handle);
    pcap_close(adapter->pcap);
    AdapterLockRelease(adapter->lock);
    delete adapter;
}

}  // namespace

const CaptureBackend kPcapCaptureBackend = {"libpcap", PcapListAdapters, PcapOpen, PcapSend, PcapNext, PcapClose};

namespace {
const CaptureBackend* g_backend = &kPcapCaptureBackend;
}

const CaptureBackend* CaptureActiveBackend() { return g_backend; }

void CaptureInstallBackend(const CaptureBackend* backend) {
    g_backend = backend != nullptr ? backend : &kPcapCaptureBackend;
}
