// ecsim: serves a virtual EtherCAT segment on a Linux network interface.
//
// Frames of EtherType 0x88A4 that arrive on the interface run through the simulated
// slaves and go back out of the same interface, the way a line of slave controllers
// returns a frame to the master. The wire's fault injection (loss, duplicates, late
// replies, foreign frames) sits between the socket and the segment.
//
// The interface is meant to be one end of a veth pair inside a network namespace made
// for a test; ecsim itself sends only on the interface it is given.
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/segment.h"
#include "sim/sim_eeprom.h"
#include "sim/sim_mailbox.h"
#include "sim/wire.h"

namespace {

constexpr uint16_t kEtherTypeEtherCat = 0x88A4;
constexpr int kMaxSlavesServed = 1000;
constexpr int kMaxLayerOptions = 256;
constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;
// Scheduling priority a blocking ecsim asks for (needs CAP_SYS_NICE; ignored without).
constexpr int kBlockingNice = -10;
// Longest a blocking wait sleeps while nothing is due.
constexpr uint64_t kIdleWaitUs = 200000;

volatile sig_atomic_t g_stop = 0;

void OnStopSignal(int) { g_stop = 1; }

enum { kOptionNameBytes = 64 };

struct LayerOption {
    char name[kOptionNameBytes];
    const char* value;
};

struct Options {
    const char* iface = nullptr;
    int slaves = 1;
    SimFaultSettings faults{};
    bool busy_poll = false;
    int cpu = -1;
    LayerOption layer[kMaxLayerOptions];
    int layer_count = 0;
};

void PrintUsage(FILE* out) {
    fprintf(out,
            "usage: ecsim --iface IF --slaves N [options]\n"
            "       ecsim --print-header FILE\n"
            "\n"
            "Serves N simulated EtherCAT slaves on the network interface IF (use one end of a\n"
            "veth pair in a network namespace). Prints \"ecsim: serving N slaves on IF\" once\n"
            "ready; SIGTERM or SIGINT stops it and writes changed EEPROM images back.\n"
            "\n"
            "  --iface IF          interface to serve on (needs CAP_NET_RAW)\n"
            "  --slaves N          number of slaves, 0 to %d (default 1)\n"
            "  --drop P            probability 0..1 that an exchange is lost (request or reply)\n"
            "  --seed S            seed of the fault generator (default fixed)\n"
            "  --foreign RATE      probability 0..1 that a foreign frame precedes a reply\n"
            "  --dup P             probability 0..1 that a reply arrives twice\n"
            "  --late P:US         probability 0..1 that a reply is held back US microseconds\n"
            "  --busy-poll         spin on the socket (lowest latency, one core busy)\n"
            "  --blocking          sleep in poll() between frames (default; raises its own\n"
            "                      scheduling priority where permitted)\n"
            "  --cpu K             run on CPU K only\n"
            "  --print-header FILE print words 0-7 of an EEPROM image file and exit\n"
            "  --help              this text\n",
            kMaxSlavesServed);
    fputs(SimEepromOptionHelp(), out);
    fputs(SimMailboxOptionHelp(), out);
}

bool ParseProbability(const char* text, double* out) {
    char* end = nullptr;
    errno = 0;
    double value = strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(value >= 0.0 && value <= 1.0)) return false;
    *out = value;
    return true;
}

bool ParseInteger(const char* text, long long low, long long high, long long* out) {
    char* end = nullptr;
    errno = 0;
    long long value = strtoll(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high) return false;
    *out = value;
    return true;
}

bool ParseSeed(const char* text, uint64_t* out) {
    char* end = nullptr;
    errno = 0;
    if (text[0] == '-') return false;
    unsigned long long value = strtoull(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0') return false;
    *out = value;
    return true;
}

// --late P:US
bool ParseLate(const char* text, double* probability, uint32_t* micros) {
    const char* colon = strchr(text, ':');
    if (colon == nullptr) return false;
    char head[64];
    size_t head_length = static_cast<size_t>(colon - text);
    if (head_length == 0 || head_length >= sizeof(head)) return false;
    memcpy(head, text, head_length);
    head[head_length] = '\0';
    long long us = 0;
    if (!ParseProbability(head, probability) || !ParseInteger(colon + 1, 0, 10000000, &us)) return false;
    *micros = static_cast<uint32_t>(us);
    return true;
}

int BadValue(const char* option, const char* value, const char* expected) {
    fprintf(stderr, "ecsim: bad value for %s: '%s' (expected %s)\n", option, value, expected);
    return kExitUsage;
}

// Returns -1 when the command line is sound, else the exit code.
int ParseCommandLine(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            PrintUsage(stdout);
            return 0;
        }
        if (strcmp(arg, "--busy-poll") == 0) {
            options->busy_poll = true;
            continue;
        }
        if (strcmp(arg, "--blocking") == 0) {
            options->busy_poll = false;
            continue;
        }
        if (strncmp(arg, "--", 2) != 0) {
            fprintf(stderr, "ecsim: unexpected argument '%s' (see ecsim --help)\n", arg);
            return kExitUsage;
        }
        // Every other option takes a value, as the next argument or after '='.
        char name[kOptionNameBytes];
        const char* value = nullptr;
        const char* equals = strchr(arg, '=');
        size_t name_length = equals != nullptr ? static_cast<size_t>(equals - arg) : strlen(arg);
        if (name_length >= sizeof(name)) {
            fprintf(stderr, "ecsim: unknown option %s (see ecsim --help)\n", arg);
            return kExitUsage;
        }
        memcpy(name, arg, name_length);
        name[name_length] = '\0';
        if (equals != nullptr) {
            value = equals + 1;
        } else {
            if (i + 1 >= argc) {
                fprintf(stderr, "ecsim: %s needs a value\n", arg);
                return kExitUsage;
            }
            value = argv[++i];
        }
        if (strcmp(name, "--print-header") == 0) {
            fflush(stdout);
            return SimEepromPrintHeader(value);
        }
        if (strcmp(name, "--iface") == 0) {
            if (value[0] == '\0' || strlen(value) >= IFNAMSIZ) return BadValue(name, value, "an interface name");
            options->iface = value;
        } else if (strcmp(name, "--slaves") == 0) {
            long long n = 0;
            if (!ParseInteger(value, 0, kMaxSlavesServed, &n)) return BadValue(name, value, "0 to 1000");
            options->slaves = static_cast<int>(n);
        } else if (strcmp(name, "--drop") == 0) {
            if (!ParseProbability(value, &options->faults.drop)) return BadValue(name, value, "a probability 0..1");
        } else if (strcmp(name, "--dup") == 0) {
            if (!ParseProbability(value, &options->faults.duplicate))
                return BadValue(name, value, "a probability 0..1");
        } else if (strcmp(name, "--foreign") == 0) {
            if (!ParseProbability(value, &options->faults.foreign_rate))
                return BadValue(name, value, "a probability 0..1");
        } else if (strcmp(name, "--late") == 0) {
            if (!ParseLate(value, &options->faults.late, &options->faults.late_us))
                return BadValue(name, value, "P:US, a probability and microseconds");
        } else if (strcmp(name, "--seed") == 0) {
            if (!ParseSeed(value, &options->faults.seed)) return BadValue(name, value, "an unsigned integer");
        } else if (strcmp(name, "--cpu") == 0) {
            long long cpu = 0;
            if (!ParseInteger(value, 0, CPU_SETSIZE - 1, &cpu)) return BadValue(name, value, "a CPU number");
            options->cpu = static_cast<int>(cpu);
        } else {
            // Left to the simulated layers once the segment exists.
            if (options->layer_count == kMaxLayerOptions) {
                fprintf(stderr, "ecsim: too many options\n");
                return kExitUsage;
            }
            LayerOption& layer = options->layer[options->layer_count++];
            memcpy(layer.name, name, sizeof(layer.name));
            layer.value = value;
        }
    }
    if (options->iface == nullptr) {
        fprintf(stderr, "ecsim: --iface IF is required (see ecsim --help)\n");
        return kExitUsage;
    }
    return -1;
}

// Opens a raw socket that receives EtherCAT frames arriving on the interface and sends
// on it. Returns the socket, or -1 with a message printed.
int OpenSegmentSocket(const char* iface, int* ifindex) {
    unsigned index = if_nametoindex(iface);
    if (index == 0) {
        fprintf(stderr, "ecsim: no interface %s\n", iface);
        return -1;
    }
    int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(kEtherTypeEtherCat));
    if (fd < 0) {
        if (errno == EPERM || errno == EACCES)
            fprintf(stderr, "ecsim: a raw socket on %s needs CAP_NET_RAW (run as root or setcap cap_net_raw+ep)\n",
                    iface);
        else
            fprintf(stderr, "ecsim: cannot open a raw socket: %s\n", strerror(errno));
        return -1;
    }
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(kEtherTypeEtherCat);
    address.sll_ifindex = static_cast<int>(index);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        fprintf(stderr, "ecsim: cannot bind to %s: %s\n", iface, strerror(errno));
        close(fd);
        return -1;
    }
#ifdef PACKET_IGNORE_OUTGOING
    // Our own replies are not requests; the kernel need not even hand them to us.
    int one = 1;
    setsockopt(fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof(one));
#endif
    // The master sends to the broadcast address, but a slave line sees every frame.
    packet_mreq membership{};
    membership.mr_ifindex = static_cast<int>(index);
    membership.mr_type = PACKET_MR_PROMISC;
    setsockopt(fd, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &membership, sizeof(membership));
    *ifindex = static_cast<int>(index);
    return fd;
}

struct Server {
    int fd;
    int ifindex;
    SimWire wire;
    uint8_t request[kSimFrameBytes + 1];
    uint8_t reply[kSimFrameBytes];
    uint64_t send_errors;
    uint64_t oversize;
};

// Sends every frame the wire holds that is due.
void SendDue(Server* server) {
    for (;;) {
        int length = SimWireTake(&server->wire, server->reply);
        if (length <= 0) return;
        if (send(server->fd, server->reply, static_cast<size_t>(length), 0) != length) server->send_errors++;
    }
}

// Reads every frame that waits on the socket and answers it. Returns false on a
// socket error other than "nothing waits".
bool ServeWaiting(Server* server) {
    for (;;) {
        sockaddr_ll from{};
        socklen_t from_length = sizeof(from);
        ssize_t n = recvfrom(server->fd, server->request, sizeof(server->request), MSG_DONTWAIT | MSG_TRUNC,
                             reinterpret_cast<sockaddr*>(&from), &from_length);
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        if (from.sll_pkttype == PACKET_OUTGOING) continue;  // what we sent ourselves
        if (n > kSimFrameBytes) {
            server->oversize++;  // longer than any slot: no slave line would return it whole
            continue;
        }
        SimWireRequest(&server->wire, server->request, static_cast<int>(n));
        SendDue(server);
    }
}

// Microseconds until the next held-back frame is due, at most kIdleWaitUs.
uint64_t MicrosecondsToNextDue(const SimWire* wire) {
    uint64_t now = SimNowMicros();
    uint64_t wait_us = kIdleWaitUs;
    for (int i = 0; i < wire->count; i++) {
        uint64_t due = wire->queue[(wire->head + i) % kSimWireQueue].due_us;
        if (due <= now) return 0;
        if (due - now < wait_us) wait_us = due - now;
    }
    return wait_us;
}

// Blocking mode keeps the stop signals blocked except inside ppoll(), so a stop request
// can never slip in between the check of g_stop and the wait.
int Serve(Server* server, bool busy_poll, const sigset_t* wait_mask) {
    while (!g_stop) {
        if (!busy_poll) {
            pollfd waiting{server->fd, POLLIN, 0};
            uint64_t wait_us = MicrosecondsToNextDue(&server->wire);
            timespec timeout{static_cast<time_t>(wait_us / 1000000), static_cast<long>(wait_us % 1000000) * 1000L};
            int ready = ppoll(&waiting, 1, &timeout, wait_mask);
            if (ready < 0 && errno != EINTR) {
                fprintf(stderr, "ecsim: poll failed: %s\n", strerror(errno));
                return kExitFailure;
            }
            if (g_stop) break;
        }
        if (!ServeWaiting(server)) {
            fprintf(stderr, "ecsim: receive failed: %s\n", strerror(errno));
            return kExitFailure;
        }
        SendDue(server);  // held-back frames that fell due meanwhile
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    static Options options;
    int parsed = ParseCommandLine(argc, argv, &options);
    if (parsed >= 0) return parsed;

    if (options.cpu >= 0) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(options.cpu, &set);
        if (sched_setaffinity(0, sizeof(set), &set) != 0) {
            fprintf(stderr, "ecsim: cannot run on CPU %d: %s\n", options.cpu, strerror(errno));
            return kExitUsage;
        }
    }

    SimSegment* segment = SimSegmentCreate(options.slaves);
    for (int i = 0; i < options.layer_count; i++) {
        const LayerOption& option = options.layer[i];
        int taken = SimEepromParseOption(segment, option.name, option.value);
        if (taken == 0) taken = SimMailboxParseOption(segment, option.name, option.value);
        if (taken == 0) fprintf(stderr, "ecsim: unknown option %s (see ecsim --help)\n", option.name);
        if (taken <= 0) {
            SimSegmentDestroy(segment);
            return kExitUsage;
        }
    }

    static Server server;
    server.fd = OpenSegmentSocket(options.iface, &server.ifindex);
    if (server.fd < 0) {
        SimSegmentDestroy(segment);
        return kExitFailure;
    }
    SimWireInit(&server.wire, segment, options.faults);

    struct sigaction stop{};
    stop.sa_handler = OnStopSignal;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    sigset_t stop_signals, wait_mask;
    sigemptyset(&stop_signals);
    sigemptyset(&wait_mask);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    if (!options.busy_poll) sigprocmask(SIG_BLOCK, &stop_signals, &wait_mask);

    // A slave line is hardware and answers at once. Sleeping between frames, ecsim
    // depends on the scheduler to wake it; where permitted it asks for a head start over
    // ordinary work, so a busy machine delays its replies less. A spinning ecsim keeps
    // the ordinary priority: it must not crowd out the rest of the machine.
    if (!options.busy_poll) setpriority(PRIO_PROCESS, 0, kBlockingNice);

    printf("ecsim: serving %d slaves on %s\n", options.slaves, options.iface);
    fflush(stdout);

    int result = Serve(&server, options.busy_poll, &wait_mask);

    SimEepromSaveAll(segment);
    fprintf(stderr, "ecsim: requests=%llu replies=%llu dropped=%llu foreign=%llu send_errors=%llu oversize=%llu\n",
            static_cast<unsigned long long>(server.wire.requests), static_cast<unsigned long long>(server.wire.replies),
            static_cast<unsigned long long>(server.wire.dropped),
            static_cast<unsigned long long>(server.wire.foreign_sent),
            static_cast<unsigned long long>(server.send_errors), static_cast<unsigned long long>(server.oversize));
    close(server.fd);
    SimSegmentDestroy(segment);
    return result;
}
