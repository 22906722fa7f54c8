// The one seam between the master and a packet-capture library.
//
// The frame port and the adapter scan reach the wire only through the CaptureBackend
// installed here. The default back end is libpcap; unit tests and fuzzers install an
// in-process virtual segment instead, so the real frame port code runs unchanged
// against simulated slaves.
#pragma once
#include <cstdint>

struct ClockSource;

enum { kCaptureErrorSize = 256 };

struct CaptureBackend {
    const char* label;
    // Calls visit once per adapter, in the library's order, then releases the library's
    // list. Returns 0, or -1 with a message in errbuf (kCaptureErrorSize bytes).
    int (*list_adapters)(void (*visit)(void* context, const char* name, const char* description),
                         void* context, char* errbuf);
    // Opens an adapter so that: every frame on the segment is received, frames this host
    // sends are not delivered back, frames are delivered at once, and a read returns at
    // once when nothing waits. Returns a handle, or null with a message in errbuf.
    void* (*open)(const char* name, char* errbuf);
    // Sends one whole Ethernet frame; 0 when sent, negative on failure.
    int (*send)(void* handle, const uint8_t* frame, int length);
    // Reads one frame without blocking: 1 and the frame (valid until the next call),
    // 0 when nothing waits, negative on a read error.
    int (*next)(void* handle, const uint8_t** frame, int* length);
    void (*close)(void* handle);
    // Optional (null when the back end keeps no time of its own): the opened handle
    // reads `clock` from now on, the clock of the master that opened it (null: the
    // process's clock). Virtual segments use it so that their slaves age with the master.
    void (*use_clock)(void* handle, const ClockSource* clock);
};

extern const CaptureBackend kPcapCaptureBackend;

const CaptureBackend* CaptureActiveBackend();
// Installs a back end for the whole process; null restores libpcap.
void CaptureInstallBackend(const CaptureBackend* backend);
