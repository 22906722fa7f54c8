// Round trip of one 2-byte FPRD through the master's frame port (libpcap), against the
// same exchange through a bare AF_PACKET socket: the floor any port over this kernel
// path can reach. Both run in alternating blocks on the same interface, so drift in the
// machine's load hits both alike. Heap allocations are counted during the measured
// exchanges through an interposed malloc and operator new.
//
//   port_roundtrip IFACE [ROUNDS_PER_BLOCK [BLOCKS]]
//
// Prints key=value lines: median and p99 in microseconds for each path, their ratios,
// and allocations per exchange after the warm-up.
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "link/datagram.h"
#include "slave/context.h"

#include "alloc_count.h"

namespace {

constexpr uint16_t kEtherTypeEtherCat = 0x88A4;
constexpr uint16_t kStation = 0x1001;
constexpr uint16_t kRegister = 0x0130;  // AL status
constexpr int kMaxSamples = 1 << 20;

uint64_t NowNanos() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

struct Samples {
    uint64_t nanos[kMaxSamples];
    int count;
    int failures;
    uint64_t allocations;
};

Samples g_port;
Samples g_floor;

// ---- the frame port ------------------------------------------------------------------

bool PortBlock(const char* iface, int rounds, Samples* samples, bool measure) {
    FramePort* port = &g_master.port;
    if (PortOpen(port, iface) != 1) return false;
    uint16_t address = kStation;
    if (APWR(port, 0, 0x0010, 2, &address, 20000) != 1) {
        fprintf(stderr, "port_roundtrip: the slave did not take its station address\n");
        PortClose(port);
        return false;
    }
    uint64_t allocations_before = g_allocations.load();
    for (int i = 0; i < rounds; i++) {
        uint16_t status = 0;
        uint64_t start = NowNanos();
        int wkc = FPRD(port, kStation, kRegister, 2, &status, 20000);
        uint64_t took = NowNanos() - start;
        if (!measure) continue;
        if (wkc != 1) {
            samples->failures++;
            continue;
        }
        if (samples->count < kMaxSamples) samples->nanos[samples->count++] = took;
    }
    if (measure) samples->allocations += g_allocations.load() - allocations_before;
    PortClose(port);
    return true;
}

// ---- the floor: a bare raw socket --------------------------------------------------

struct RawLink {
    int fd;
    uint8_t request[30];
    uint8_t reply[2048];
};

bool RawOpen(const char* iface, RawLink* link) {
    unsigned index = if_nametoindex(iface);
    if (index == 0) return false;
    link->fd = socket(AF_PACKET, SOCK_RAW, htons(kEtherTypeEtherCat));
    if (link->fd < 0) return false;
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(kEtherTypeEtherCat);
    address.sll_ifindex = static_cast<int>(index);
    if (bind(link->fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) return false;
#ifdef PACKET_IGNORE_OUTGOING
    int one = 1;
    setsockopt(link->fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof(one));
#endif
    // The same frame the port sends: FPRD of 2 bytes at 0x0130 of station 0x1001, index 5.
    const uint8_t frame[30] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x88, 0xA4, 0x0E,
                               0x10, 0x04, 0x05, 0x01, 0x10, 0x30, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    memcpy(link->request, frame, sizeof(frame));
    return true;
}

// One exchange: send, then spin on a non-blocking receive until the reply comes.
int RawExchange(RawLink* link, uint64_t timeout_ns) {
    if (send(link->fd, link->request, sizeof(link->request), 0) != static_cast<ssize_t>(sizeof(link->request)))
        return -1;
    uint64_t deadline = NowNanos() + timeout_ns;
    for (;;) {
        sockaddr_ll from{};
        socklen_t from_length = sizeof(from);
        ssize_t n = recvfrom(link->fd, link->reply, sizeof(link->reply), MSG_DONTWAIT,
                             reinterpret_cast<sockaddr*>(&from), &from_length);
        if (n >= 30 && from.sll_pkttype != PACKET_OUTGOING && link->reply[6] != 0x01 && link->reply[17] == 0x05)
            return link->reply[28] | (link->reply[29] << 8);
        if (NowNanos() >= deadline) return -1;
    }
}

bool FloorBlock(const char* iface, int rounds, Samples* samples, bool measure) {
    static RawLink link;
    if (!RawOpen(iface, &link)) {
        fprintf(stderr, "port_roundtrip: raw socket on %s: %s\n", iface, strerror(errno));
        return false;
    }
    uint64_t allocations_before = g_allocations.load();
    for (int i = 0; i < rounds; i++) {
        uint64_t start = NowNanos();
        int wkc = RawExchange(&link, 20000000);
        uint64_t took = NowNanos() - start;
        if (!measure) continue;
        if (wkc != 1) {
            samples->failures++;
            continue;
        }
        if (samples->count < kMaxSamples) samples->nanos[samples->count++] = took;
    }
    if (measure) samples->allocations += g_allocations.load() - allocations_before;
    close(link.fd);
    return true;
}

double PercentileMicros(Samples* samples, double fraction) {
    if (samples->count == 0) return 0;
    std::sort(samples->nanos, samples->nanos + samples->count);
    int at = static_cast<int>(fraction * (samples->count - 1) + 0.5);
    return static_cast<double>(samples->nanos[at]) / 1000.0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: port_roundtrip IFACE [ROUNDS_PER_BLOCK [BLOCKS]]\n");
        return 2;
    }
    const char* iface = argv[1];
    int rounds = argc > 2 ? atoi(argv[2]) : 2000;
    int blocks = argc > 3 ? atoi(argv[3]) : 10;
    if (rounds <= 0 || blocks <= 0 || static_cast<long>(rounds) * blocks > kMaxSamples) {
        fprintf(stderr, "port_roundtrip: bad round or block count\n");
        return 2;
    }

    // The counter must see allocations made inside shared libraries too.
    uint64_t before = g_allocations.load();
    void* volatile probe = strdup("interposed?");
    free(probe);
    bool counting = g_allocations.load() > before;

    // Warm-up: caches, page faults, the capture ring, both sides' code paths.
    if (!PortBlock(iface, rounds, &g_port, false) || !FloorBlock(iface, rounds, &g_floor, false)) return 1;
    for (int b = 0; b < blocks; b++) {
        if (!PortBlock(iface, rounds, &g_port, true) || !FloorBlock(iface, rounds, &g_floor, true)) return 1;
    }
    double port_median = PercentileMicros(&g_port, 0.5), port_p99 = PercentileMicros(&g_port, 0.99);
    double floor_median = PercentileMicros(&g_floor, 0.5), floor_p99 = PercentileMicros(&g_floor, 0.99);
    printf("allocation_counter_works=%s\n", counting ? "yes" : "no");
    printf("port_exchanges=%d port_failures=%d port_median_us=%.1f port_p99_us=%.1f\n", g_port.count,
           g_port.failures, port_median, port_p99);
    printf("floor_exchanges=%d floor_failures=%d floor_median_us=%.1f floor_p99_us=%.1f\n", g_floor.count,
           g_floor.failures, floor_median, floor_p99);
    printf("ratio_median=%.3f ratio_p99=%.3f\n", floor_median > 0 ? port_median / floor_median : 0,
           floor_p99 > 0 ? port_p99 / floor_p99 : 0);
    printf("port_allocations_per_exchange=%.4f floor_allocations_per_exchange=%.4f\n",
           g_port.count + g_port.failures > 0 ? static_cast<double>(g_port.allocations) / (g_port.count + g_port.failures)
                                              : 0,
           g_floor.count + g_floor.failures > 0
               ? static_cast<double>(g_floor.allocations) / (g_floor.count + g_floor.failures)
               : 0);
    return 0;
}
