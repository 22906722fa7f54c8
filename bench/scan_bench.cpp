// Scan and many-slave SII cost over a real adapter: the new API's scan (ec_open +
// ec_scan), the legacy Init, a whole-EEPROM read of every slave against one slave's,
// and an alias-style write (words 0-7 read, words 4 and 7 written, words 0-7 read back)
// on every slave against one slave's. Prints key=value pairs for bench/bench_scan.sh.
//
//   scan_bench IFNAME SLAVES RUNS scan [FORWARD_NS:READ_US:WRITE_US]
//                                          the API scan and the legacy Init
//   scan_bench IFNAME SLAVES RUNS sii [FORWARD_NS:READ_US:WRITE_US]
//                                          reads and writes on the SII engine
//
// The optional model names the segment's costs (ecsim --wire-timing=FORWARD_NS,
// --eeprom-latency READ_US:WRITE_US): each figure then carries the modelled time of what
// the run did, the wire time of its round trips plus its longest chain of one slave's
// EEPROM commands (FORWARD_NS 0: no wire time).
//
// Frames are counted at the capture back end; a round trip is a run of sends followed
// by the replies awaited (frames in flight together count once). Each figure is the best
// of RUNS: on a shared machine other work only ever adds time.
#include <algorithm>
#include <cstdarg>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "api/ec/ecalias_internal.h"
#include "ecalias.h"
#include "ecdevice.h"
#include "link/capture.h"
#include "slave/bringup.h"
#include "slave/context.h"
#include "slave/sii_engine.h"

namespace {

const CaptureBackend* g_inner = nullptr;
CaptureBackend g_counting;
uint64_t g_frames = 0;
uint64_t g_round_trips = 0;
uint64_t g_replies = 0;
bool g_replied = true;  // the last thing seen was a reply (or nothing yet)

// The wire model of ecsim --wire-timing: each frame its serialisation at 100 Mbit/s (at
// least 84 byte times, 24 bytes of checksum, preamble and gap), the frames of a round
// trip one after the other on the line, and the last of them back after passing every
// slave. Set from the command line; forward_ns 0 models no wire.
struct WireModel {
    int slaves = 0;
    uint32_t forward_ns = 0;
    uint32_t eeprom_read_us = 0;
    uint32_t eeprom_write_us = 0;
};
WireModel g_model;

// What one measured run did, beyond frames and round trips: where its time went and the
// figures of the model.
struct RunTrace {
    uint64_t wire_ns = 0;         // modelled wire time of every round trip
    double waiting_us = 0;        // from a round trip's first send to its last reply
    double own_us = 0;            // from a reply to the next round trip's first send
    std::chrono::steady_clock::time_point round_start;
    std::chrono::steady_clock::time_point last_reply;
    bool any_reply = false;
    // EEPROM commands sent to each station (station addresses 0x1000 + position).
    uint32_t reads[1024] = {};
    uint32_t writes[1024] = {};
};
RunTrace g_trace;

uint64_t FrameWireNs(int length) {
    uint64_t bytes = static_cast<uint64_t>(length) + 24;
    if (bytes < 84) bytes = 84;
    return bytes * 80;
}

// Counts the EEPROM commands a frame carries (a write of the control word with a read
// or write command), per addressed station; a broadcast one counts for every slave.
void CountEepromCommands(const uint8_t* frame, int length) {
    int at = 16;
    for (;;) {
        if (at + 12 > length) return;
        const uint8_t command = frame[at];
        const uint16_t adp = static_cast<uint16_t>(frame[at + 2] | (frame[at + 3] << 8));
        const uint16_t ado = static_cast<uint16_t>(frame[at + 4] | (frame[at + 5] << 8));
        const uint16_t field = static_cast<uint16_t>(frame[at + 6] | (frame[at + 7] << 8));
        const int data = field & 0x07FF;
        if (at + 12 + data > length) return;
        if ((command == 5 /* FPWR */ || command == 8 /* BWR */) && ado == 0x0502 && data >= 2) {
            const uint8_t code = frame[at + 10 + 1] & 0x07;
            // A broadcast command reaches every slave.
            const int first = command == 8 ? 1 : adp - 0x1000;
            const int last = command == 8 ? g_model.slaves : first;
            for (int slot = first; slot <= last; slot++) {
                if (slot < 1 || slot >= 1024) continue;
                if (code == 1) g_trace.reads[slot]++;
                if (code == 2) g_trace.writes[slot]++;
            }
        }
        at += 12 + data;
        if ((field & 0x8000) == 0) return;
    }
}

double MicrosBetween(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to) {
    return std::chrono::duration<double, std::micro>(to - from).count();
}

// With EC_SCAN_TRACE set, every frame sent is listed on standard error: the time since
// the run began, its round trip, its length and its datagrams (command@register xcount).
bool g_list_frames = false;
std::chrono::steady_clock::time_point g_run_start;
// Collected during a run and written after it, so the listing costs the run little.
char g_listing[1 << 22];
size_t g_listed = 0;

__attribute__((format(printf, 1, 2))) void List(const char* format, ...) {
    if (g_listed >= sizeof g_listing) return;
    va_list args;
    va_start(args, format);
    const int n = vsnprintf(g_listing + g_listed, sizeof g_listing - g_listed, format, args);
    va_end(args);
    if (n > 0) g_listed += static_cast<size_t>(n);
}

void FlushListing() {
    if (g_listed > sizeof g_listing) g_listed = sizeof g_listing;
    fwrite(g_listing, 1, g_listed, stderr);
    g_listed = 0;
}

void ListFrame(const uint8_t* frame, int length, bool new_round_trip) {
    List("%9.1f us %s rt %4llu len %4d:", MicrosBetween(g_run_start, std::chrono::steady_clock::now()),
            new_round_trip ? "*" : " ", static_cast<unsigned long long>(g_round_trips), length);
    static const char* const kNames[] = {"NOP", "APRD", "APWR", "APRW", "FPRD", "FPWR", "FPRW", "BRD",
                                         "BWR", "BRW",  "LRD",  "LWR",  "LRW",  "ARMW", "FRMW"};
    int at = 16;
    int run = 0;
    uint8_t last_command = 0xFF;
    uint16_t last_ado = 0;
    auto flush = [&] {
        if (run > 0)
            List(" %s@%04x x%d", last_command < 15 ? kNames[last_command] : "?", last_ado, run);
    };
    while (at + 12 <= length) {
        const uint8_t command = frame[at];
        const uint16_t ado = static_cast<uint16_t>(frame[at + 4] | (frame[at + 5] << 8));
        const uint16_t field = static_cast<uint16_t>(frame[at + 6] | (frame[at + 7] << 8));
        if (command != last_command || ado != last_ado) {
            flush();
            run = 0;
            last_command = command;
            last_ado = ado;
        }
        run++;
        at += 12 + (field & 0x07FF);
        if ((field & 0x8000) == 0) break;
    }
    flush();
    List("\n");
}

// A frame read from the adapter: its length, source (0x03...: returned by the segment) and
// the working counter of its first datagram.
void ListReply(const uint8_t* frame, int length, std::chrono::steady_clock::time_point at) {
    unsigned wkc = 0;
    if (length >= 28) {
        const int data = (frame[22] | (frame[23] << 8)) & 0x07FF;
        if (28 + data <= length) wkc = static_cast<unsigned>(frame[26 + data] | (frame[27 + data] << 8));
    }
    List("%9.1f us   reply len %4d src %02x wkc %u\n", MicrosBetween(g_run_start, at), length, frame[6], wkc);
}

uint64_t g_sent_total = 0;
int CountingSend(void* handle, const uint8_t* frame, int length) {
    const auto now = std::chrono::steady_clock::now();
    g_frames++;
    g_sent_total++;
    if (g_replied) {
        g_round_trips++;
        if (g_trace.any_reply) g_trace.own_us += MicrosBetween(g_trace.last_reply, now);
        g_trace.round_start = now;
        g_trace.wire_ns += static_cast<uint64_t>(g_model.slaves) * g_model.forward_ns;
    }
    g_replied = false;
    if (g_model.forward_ns > 0) g_trace.wire_ns += FrameWireNs(length);
    CountEepromCommands(frame, length);
    if (g_list_frames) ListFrame(frame, length, g_trace.round_start == now);
    return g_inner->send(handle, frame, length);
}

int CountingNext(void* handle, const uint8_t** data, int* length) {
    int result = g_inner->next(handle, data, length);
    if (result > 0) {
        const auto now = std::chrono::steady_clock::now();
        if (!g_replied) g_trace.waiting_us += MicrosBetween(g_trace.round_start, now);
        else g_trace.waiting_us += MicrosBetween(g_trace.last_reply, now);
        g_trace.last_reply = now;
        g_trace.any_reply = true;
        if (g_list_frames)
            ListReply(*data, *length, now);
        g_replied = true;
        g_replies++;
    }
    return result;
}

void WrapBackend(const CaptureBackend* inner) {
    g_inner = inner;
    g_counting = *inner;
    g_counting.send = CountingSend;
    g_counting.next = CountingNext;
}

struct Figure {
    double best_us = 1e18;
    uint64_t frames = 0;
    uint64_t round_trips = 0;
    bool ok = true;
    double wire_us = 0;    // modelled wire time of the best run
    double eeprom_us = 0;  // the longest chain of EEPROM commands of one slave, at the modelled latencies
    double waiting_us = 0;
    double own_us = 0;
};

// The longest chain of one slave's EEPROM commands in the run just traced.
double EepromChainUs() {
    double longest = 0;
    for (int s = 0; s < 1024; s++) {
        const double us = static_cast<double>(g_trace.reads[s]) * g_model.eeprom_read_us +
                          static_cast<double>(g_trace.writes[s]) * g_model.eeprom_write_us;
        if (us > longest) longest = us;
    }
    return longest;
}

double Micros(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - since).count();
}

template <typename Body>
void Measure(Figure* figure, Body body) {
    g_frames = g_round_trips = 0;
    g_replied = true;
    g_trace = RunTrace{};
    auto start = std::chrono::steady_clock::now();
    g_run_start = start;
    if (g_list_frames) List("-- run\n");
    bool ok = body();
    double us = Micros(start);
    if (g_list_frames) FlushListing();
    figure->ok = figure->ok && ok;
    if (us < figure->best_us) {
        figure->best_us = us;
        figure->frames = g_frames;
        figure->round_trips = g_round_trips;
        figure->wire_us = static_cast<double>(g_trace.wire_ns) / 1000.0;
        figure->eeprom_us = EepromChainUs();
        figure->waiting_us = g_trace.waiting_us;
        figure->own_us = g_trace.own_us;
    }
}

// key_ms, frames, round trips, success; then where the time went (waiting for replies,
// the master's own time between a reply and its next send) and the model: the wire time
// of the round trips, the EEPROM chain, and their sum.
void Print(const char* key, const Figure& f) {
    printf("%s_ms=%.2f %s_frames=%llu %s_rt=%llu %s_ok=%d", key, f.best_us / 1000.0, key,
           static_cast<unsigned long long>(f.frames), key, static_cast<unsigned long long>(f.round_trips), key,
           f.ok ? 1 : 0);
    printf(" %s_wait_ms=%.2f %s_own_ms=%.2f %s_wire_ms=%.2f %s_eeprom_ms=%.2f %s_model_ms=%.2f\n", key,
           f.waiting_us / 1000.0, key, f.own_us / 1000.0, key, f.wire_us / 1000.0, key, f.eeprom_us / 1000.0, key,
           (f.wire_us + f.eeprom_us) / 1000.0);
}

int RunScan(const char* ifname, int slaves, int runs) {
    Figure api, legacy;
    for (int run = 0; run < runs; run++) {
        ec_master* m = nullptr;
        if (ec_open(ifname, &m) != EC_OK) {
            fprintf(stderr, "cannot open %s\n", ifname);
            return 1;
        }
        WrapBackend(m->context->port.backend);
        PortUseBackend(&m->context->port, &g_counting);
        Measure(&api, [&] {
            int count = 0;
            if (ec_scan(m, &count) != EC_OK || count != slaves) {
                fprintf(stderr, "scan found %d slaves\n", count);
                return false;
            }
            bool complete = true;
            for (int n = 1; n <= count; n++) {
                ec_slave_info info{};
                if (ec_slave_info_get(m, n, &info) != EC_OK || !info.complete) {
                    fprintf(stderr, "slave %d: parts 0x%02x\n", n, info.parts_read);
                    complete = false;
                }
            }
            return complete;
        });
        ec_close(m);
    }
    // The legacy Init opens the adapters itself, through the process's back end.
    WrapBackend(CaptureActiveBackend());
    CaptureInstallBackend(&g_counting);
    for (int run = 0; run < runs; run++) {
        Measure(&legacy, [&] {
            int count = Init();
            bool named = count == slaves;
            for (int n = 1; named && n <= count; n++) named = g_master.slave_table[n].name[0] != '\0';
            return named;
        });
        Deinit();
    }
    CaptureInstallBackend(g_inner);
    Print("api", api);
    Print("legacy", legacy);
    return api.ok && legacy.ok ? 0 : 2;
}

// Reads words 0 .. words-1 of the listed slaves.
bool Dump(int first_slave, int last_slave, uint16_t words, std::vector<std::vector<uint16_t>>* out) {
    std::vector<SiiJob> jobs;
    out->assign(static_cast<size_t>(last_slave - first_slave + 1), std::vector<uint16_t>(words, 0));
    for (int n = first_slave; n <= last_slave; n++)
        jobs.push_back(SiiJob{static_cast<uint16_t>(n), 0, words, (*out)[static_cast<size_t>(n - first_slave)].data(),
                              0, 0, 0});
    const int done = SiiReadMany(&g_master, jobs.data(), static_cast<int>(jobs.size()), nullptr);
    for (const SiiJob& job : jobs)
        if (job.status != kSiiDone)
            fprintf(stderr, "read of slave %u: %s after %u words\n", job.slave, SiiJobStatusText(job.status),
                    job.words_done);
    return done == static_cast<int>(jobs.size());
}

// What an alias set does to the EEPROM, on slaves first..last at once: words 0-7 read,
// words 4 and 7 written (with the values they hold, so the image stays as it was), words
// 0-7 read back and compared.
bool AliasRound(int first_slave, int last_slave) {
    const int count = last_slave - first_slave + 1;
    std::vector<std::vector<uint16_t>> header;
    if (!Dump(first_slave, last_slave, 8, &header)) return false;
    std::vector<SiiJob> writes;
    for (int n = first_slave; n <= last_slave; n++) {
        std::vector<uint16_t>& h = header[static_cast<size_t>(n - first_slave)];
        writes.push_back(SiiJob{static_cast<uint16_t>(n), 4, 1, &h[4], 0, 0, 0});
        writes.push_back(SiiJob{static_cast<uint16_t>(n), 7, 1, &h[7], 0, 0, 0});
    }
    if (SiiWriteMany(&g_master, writes.data(), 2 * count, nullptr) != 2 * count) {
        for (const SiiJob& job : writes)
            if (job.status != kSiiDone)
                fprintf(stderr, "write of slave %u word %u: %s\n", job.slave, job.first_word,
                        SiiJobStatusText(job.status));
        return false;
    }
    std::vector<std::vector<uint16_t>> back;
    return Dump(first_slave, last_slave, 8, &back) && back == header;
}

int RunSii(const char* ifname, int slaves, int runs) {
    WrapBackend(CaptureActiveBackend());
    CaptureInstallBackend(&g_counting);
    if (PortOpen(&g_master.port, ifname) != 1 || ConfigureNetwork(&g_master) != slaves) {
        fprintf(stderr, "no segment of %d slaves on %s\n", slaves, ifname);
        return 1;
    }
    Figure dump_one, dump_all, alias_one, alias_all;
    std::vector<std::vector<uint16_t>> one, all;
    const uint16_t words = 1024;  // 2 KiB EEPROMs
    for (int run = 0; run < runs; run++) {
        Measure(&dump_one, [&] { return Dump(1, 1, words, &one); });
        Measure(&dump_all, [&] { return Dump(1, slaves, words, &all); });
        Measure(&alias_one, [&] { return AliasRound(1, 1); });
        Measure(&alias_all, [&] { return AliasRound(1, slaves); });
    }
    // The engine's dump of slave 1 is the same as the dump of every slave's slave 1.
    const bool same = !all.empty() && one[0] == all[0];
    PortClose(&g_master.port);
    CaptureInstallBackend(g_inner);
    Print("dump_one", dump_one);
    Print("dump_all", dump_all);
    Print("alias_one", alias_one);
    Print("alias_all", alias_all);
    printf("dump_same=%d\n", same ? 1 : 0);
    fprintf(stderr, "frames sent %llu replies read %llu\n", (unsigned long long)g_sent_total, (unsigned long long)g_replies);
    return dump_one.ok && dump_all.ok && alias_one.ok && alias_all.ok && same ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5 && argc != 6) {
        fprintf(stderr, "usage: scan_bench IFNAME SLAVES RUNS scan|sii [FORWARD_NS:READ_US:WRITE_US]\n");
        return 1;
    }
    const int slaves = atoi(argv[2]);
    g_model.slaves = slaves;
    g_list_frames = getenv("EC_SCAN_TRACE") != nullptr;
    if (argc == 6 && sscanf(argv[5], "%u:%u:%u", &g_model.forward_ns, &g_model.eeprom_read_us,
                            &g_model.eeprom_write_us) != 3) {
        fprintf(stderr, "scan_bench: the model is FORWARD_NS:READ_US:WRITE_US, not %s\n", argv[5]);
        return 1;
    }
    const int runs = std::max(1, atoi(argv[3]));
    if (strcmp(argv[4], "scan") == 0) return RunScan(argv[1], slaves, runs);
    if (strcmp(argv[4], "sii") == 0) return RunSii(argv[1], slaves, runs);
    fprintf(stderr, "scan_bench: unknown mode %s\n", argv[4]);
    return 1;
}
