// SDO transfers of 5000 bytes through the master's mailbox and CoE code, over libpcap,
// against the floor: the datagrams such a transfer cannot do without, each costing one
// datagram round trip measured in the same run.
//
//   sdo_bench [ROUNDS]     (after Init finds the segment: slave 1 with 128-byte
//                           mailboxes, slave 2 with 1486-byte mailboxes)
//
// A transfer of k request/reply pairs needs at least 1 + 4k datagrams: the opening
// status poll, and per pair one status poll and one write of the write mailbox, one
// status poll and one read of the read mailbox. The floor prices the 1 + 2k status
// polls at the round trip of a 2-byte FPRD and the 2k mailbox accesses at the round
// trip of an FPRD as long as the mailbox, both measured in this run. Prints key=value
// lines per case.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>
#include <vector>

#include "api/ecdevice.h"
#include "link/capture.h"
#include "link/datagram.h"
#include "slave/coe.h"
#include "slave/context.h"

#include "alloc_count.h"

namespace {

constexpr int kTransferBytes = 5000;

// A capture back end that counts the frames the master sends, passing everything on.
const CaptureBackend* g_inner = nullptr;
uint64_t g_frames_sent = 0;
int CountingSend(void* handle, const uint8_t* frame, int length) {
    g_frames_sent++;
    return g_inner->send(handle, frame, length);
}
CaptureBackend g_counting;

void InstallCounter() {
    g_inner = CaptureActiveBackend();
    g_counting = *g_inner;
    g_counting.label = "counting";
    g_counting.send = CountingSend;
    CaptureInstallBackend(&g_counting);
    if (PortIsOpen(&g_master.port)) PortUseBackend(&g_master.port, &g_counting);
}

double NowMicros() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// Request/reply pairs of a transfer of `size` bytes through a mailbox of `mailbox` bytes.
int Pairs(int size, int mailbox) {
    int first = std::min(size, mailbox - 16);
    int rest = size - first;
    int segment = mailbox - 9;
    return 1 + (rest + segment - 1) / segment;
}

// Median round trip of an FPRD of `length` bytes from slave 1's process memory.
double RoundTrip(uint16_t length, int rounds) {
    static uint8_t buffer[kMaxDatagramData];
    std::vector<double> round_trips;
    for (int i = 0; i < 200 + rounds * 20; i++) {
        double start = NowMicros();
        if (FPRD(&g_master.port, g_master.slave_table[1].config_address, 0x3000, length, buffer, 2000) != 1) continue;
        if (i >= 200) round_trips.push_back(NowMicros() - start);
    }
    return Median(round_trips);
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? atoi(argv[1]) : 30;
    if (rounds < 1) rounds = 1;
    InstallCounter();
    int slaves = Init();
    if (slaves < 2) {
        fprintf(stderr, "sdo_bench: need two slaves, Init found %d\n", slaves);
        return 1;
    }
    double rtt = RoundTrip(2, rounds);
    printf("rtt_us=%.1f\n", rtt);

    std::vector<uint8_t> data(kTransferBytes);
    for (int i = 0; i < kTransferBytes; i++) data[static_cast<size_t>(i)] = static_cast<uint8_t>(i * 13);
    std::vector<uint8_t> back(kTransferBytes);
    for (uint16_t slave = 1; slave <= 2; slave++) {
        const int mailbox = g_master.slave_table[slave].mbx_length;
        const double rtt_mailbox = RoundTrip(static_cast<uint16_t>(mailbox), rounds);
        for (int upload = 0; upload <= 1; upload++) {
            std::vector<double> times;
            times.reserve(static_cast<size_t>(rounds));
            uint64_t frames = 0, allocations = 0;
            int failures = 0;
            for (int r = -2; r < rounds; r++) {  // two warm-up transfers
                uint64_t frames_before = g_frames_sent;
                uint64_t allocations_before = g_allocations.load();
                double start = NowMicros();
                int result;
                if (upload) {
                    int32_t size = kTransferBytes;
                    result = SdoUpload(&g_master, slave, 0x2100, 0, 0, &size, back.data(), 100000);
                    if (size != kTransferBytes) result = 0;
                } else {
                    result = SdoDownload(&g_master, slave, 0x2100, 0, 0, kTransferBytes, data.data(), 100000);
                }
                double elapsed = NowMicros() - start;
                uint64_t allocated = g_allocations.load() - allocations_before;
                if (r < 0) continue;
                if (result <= 0) {
                    if (getenv("SDO_BENCH_DEBUG") != nullptr) {
                        const ErrorList& list = g_master.error_list;
                        fprintf(stderr, "failure: slave %u %s result %d errors %d frames %lu\n", slave,
                                upload ? "upload" : "download", result, (list.push_position - list.read_position + 65) % 65,
                                static_cast<unsigned long>(g_frames_sent - frames_before));
                    }
                    failures++;
                    continue;
                }
                times.push_back(elapsed);
                frames += g_frames_sent - frames_before;
                allocations += allocated;
            }
            int pairs = Pairs(kTransferBytes, mailbox);
            int floor_datagrams = 1 + 4 * pairs;
            double floor_us = (1 + 2 * pairs) * rtt + 2 * pairs * rtt_mailbox;
            double ok = times.empty() ? 1 : static_cast<double>(times.size());
            double median = Median(times);
            printf("case=%s_%d median_us=%.0f datagrams=%.1f pairs=%d floor_datagrams=%d rtt_mailbox_us=%.1f "
                   "floor_us=%.0f ratio=%.2f failures=%d allocations_per_transfer=%.2f\n",
                   upload ? "upload" : "download", mailbox, median, static_cast<double>(frames) / ok, pairs,
                   floor_datagrams, rtt_mailbox, floor_us, floor_us > 0 ? median / floor_us : 0, failures,
                   static_cast<double>(allocations) / ok);
        }
    }
    Deinit();
    return 0;
}
