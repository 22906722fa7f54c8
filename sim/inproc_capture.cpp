#include "sim/inproc_capture.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "link/capture.h"

namespace {

constexpr int kMaxAdapters = 8;

struct InprocState {
    InprocAdapter* adapters;
    int count;
    bool list_fails;
    uint64_t frames_sent;
    uint8_t last_sent[kSimFrameBytes];
    int last_sent_length;
    uint8_t receive_buffer[kInprocRawBytes];
    uint8_t raw_frame[kInprocRawBytes];
    int raw_length;  // 0: nothing waits
};
InprocState g_state;
std::mutex g_lock;  // the frame port sends without a lock; the wire must not be shared unguarded

int InprocList(void (*visit)(void*, const char*, const char*), void* context, char* errbuf) {
    if (g_state.list_fails) {
        snprintf(errbuf, 256, "%s", "simulated adapter listing failure");
        return -1;
    }
    for (int i = 0; i < g_state.count; i++) visit(context, g_state.adapters[i].name, g_state.adapters[i].description);
    return 0;
}

void* InprocOpen(const char* name, char* errbuf) {
    for (int i = 0; i < g_state.count; i++) {
        InprocAdapter& adapter = g_state.adapters[i];
        const char* own = adapter.name != nullptr ? adapter.name : "";
        if (strcmp(own, name) != 0) continue;
        if (adapter.fails_to_open) break;
        adapter.opens++;
        return &adapter;
    }
    snprintf(errbuf, 256, "no such simulated adapter: %s", name);
    return nullptr;
}

int InprocSend(void* handle, const uint8_t* frame, int length) {
    std::lock_guard<std::mutex> hold(g_lock);
    InprocAdapter* adapter = static_cast<InprocAdapter*>(handle);
    g_state.frames_sent++;
    int keep = length < kSimFrameBytes ? length : kSimFrameBytes;
    memcpy(g_state.last_sent, frame, static_cast<size_t>(keep));
    g_state.last_sent_length = keep;
    if (adapter->fails_to_send) return -1;
    if (adapter->wire != nullptr) SimWireRequest(adapter->wire, frame, length);
    return 0;
}

int InprocNext(void* handle, const uint8_t** frame, int* length) {
    std::lock_guard<std::mutex> hold(g_lock);
    InprocAdapter* adapter = static_cast<InprocAdapter*>(handle);
    if (g_state.raw_length > 0) {
        memcpy(g_state.receive_buffer, g_state.raw_frame, static_cast<size_t>(g_state.raw_length));
        *frame = g_state.receive_buffer;
        *length = g_state.raw_length;
        g_state.raw_length = 0;
        return 1;
    }
    if (adapter->wire == nullptr) return 0;
    int n = SimWireTake(adapter->wire, g_state.receive_buffer);
    if (n <= 0) return 0;
    *frame = g_state.receive_buffer;
    *length = n;
    return 1;
}

void InprocClose(void* handle) { static_cast<InprocAdapter*>(handle)->closes++; }

// The adapter's segment keeps the time of the master that opened it last.
void InprocUseClock(void* handle, const ClockSource* clock) {
    std::lock_guard<std::mutex> hold(g_lock);
    InprocAdapter* adapter = static_cast<InprocAdapter*>(handle);
    if (adapter->wire != nullptr && adapter->wire->segment != nullptr) adapter->wire->segment->clock = clock;
}

const CaptureBackend kInprocBackend = {"in-process", InprocList, InprocOpen, InprocSend, InprocNext, InprocClose,
                                       InprocUseClock};

}  // namespace

void InprocInstall(InprocAdapter* adapters, int count, bool list_fails) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_state = InprocState{};
    g_state.adapters = adapters;
    g_state.count = count < kMaxAdapters ? count : kMaxAdapters;
    g_state.list_fails = list_fails;
    CaptureInstallBackend(&kInprocBackend);
}

void InprocUninstall() { CaptureInstallBackend(nullptr); }

uint64_t InprocFramesSent() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_state.frames_sent;
}

int InprocLastSent(uint8_t* out) {
    std::lock_guard<std::mutex> hold(g_lock);
    memcpy(out, g_state.last_sent, static_cast<size_t>(g_state.last_sent_length));
    return g_state.last_sent_length;
}

void InprocDeliverRaw(const uint8_t* frame, int length) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (length < 0) length = 0;
    if (length > kInprocRawBytes) length = kInprocRawBytes;
    memcpy(g_state.raw_frame, frame, static_cast<size_t>(length));
    g_state.raw_length = length;
}
