#include "sim/sim_capture.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "sim/sim_options.h"
#include "sim/wire.h"

namespace {

// One open segment. The master may send from one thread while another reads: the wire
// is used under the handle's lock.
struct SimHandle {
    SimBuild build;
    SimWire wire;
    std::mutex lock;
    uint8_t receive_buffer[kSimFrameBytes];
};

int SimList(void (*)(void*, const char*, const char*), void*, char*) {
    return 0;  // in-process segments are opened by name; there is nothing to list
}

void* SimOpen(const char* name, char* errbuf) {
    if (!SimAdapterName(name)) {
        snprintf(errbuf, kCaptureErrorSize, "not an in-process segment: %s (the name starts with %s)", name,
                 kSimAdapterPrefix);
        return nullptr;
    }
    SimHandle* handle = new (std::nothrow) SimHandle();
    if (handle == nullptr) {
        snprintf(errbuf, kCaptureErrorSize, "out of memory for the in-process segment");
        return nullptr;
    }
    if (!SimBuildFromOptions(name + strlen(kSimAdapterPrefix), &handle->build, errbuf, kCaptureErrorSize)) {
        delete handle;
        return nullptr;
    }
    SimWireInit(&handle->wire, handle->build.segment, handle->build.faults);
    return handle;
}

int SimSend(void* opened, const uint8_t* frame, int length) {
    SimHandle* handle = static_cast<SimHandle*>(opened);
    std::lock_guard<std::mutex> hold(handle->lock);
    SimWireRequest(&handle->wire, frame, length);
    return 0;
}

int SimNext(void* opened, const uint8_t** frame, int* length) {
    SimHandle* handle = static_cast<SimHandle*>(opened);
    std::lock_guard<std::mutex> hold(handle->lock);
    int n = SimWireTake(&handle->wire, handle->receive_buffer);
    if (n <= 0) return 0;
    *frame = handle->receive_buffer;
    *length = n;
    return 1;
}

void SimClose(void* opened) {
    SimHandle* handle = static_cast<SimHandle*>(opened);
    SimBuildDestroy(&handle->build);
    delete handle;
}

}  // namespace

// The segment's slaves and wire keep the time of the master that opened it.
void SimUseClock(void* opened, const ClockSource* clock) {
    SimHandle* handle = static_cast<SimHandle*>(opened);
    handle->build.segment->clock = clock;
}

const CaptureBackend kSimCaptureBackend = {"in-process segment", SimList, SimOpen, SimSend, SimNext, SimClose,
                                           SimUseClock};

bool SimAdapterName(const char* name) {
    return name != nullptr && strncmp(name, kSimAdapterPrefix, strlen(kSimAdapterPrefix)) == 0;
}

SimSegment* SimCaptureSegment(void* handle) {
    return handle != nullptr ? static_cast<SimHandle*>(handle)->build.segment : nullptr;
}
