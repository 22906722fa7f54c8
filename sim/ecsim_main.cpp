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
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/clock.h"
#include "sim/segment.h"
#include "sim/sim_eeprom.h"
#include "sim/sim_options.h"
#include "sim/wire.h"
#include "wire/frame_layout.h"

#ifndef EC_VERSION
#define EC_VERSION "unknown"
#endif

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;
// Scheduling priority a blocking ecsim asks for (needs CAP_SYS_NICE; ignored without).
constexpr int kBlockingNice = -10;
// Longest a blocking wait sleeps while nothing is due.
constexpr uint64_t kIdleWaitUs = 200000;
// How long ecsim waits for an interface that is down to come up before it gives up,
// and how often it looks.
constexpr uint64_t kInterfaceUpWaitUs = 3000000;
constexpr uint32_t kInterfaceUpPollUs = 10000;

volatile sig_atomic_t g_stop = 0;

void OnStopSignal(int) { g_stop = 1; }

// Reads the command line with the option table. Returns -1 when ecsim is to serve,
// else the exit code (help, version and header printed, or a refusal on stderr).
int ReadCommandLine(int argc, char** argv, SimSettings* settings) {
    char reason[512];
    if (!SimParseArguments(argc - 1, argv + 1, SimOptionUse::kEcsim, settings, reason, sizeof(reason))) {
        fprintf(stderr, "ecsim: %s\n", reason);
        return kExitUsage;
    }
    switch (settings->action) {
        case SimAction::kHelp:
            SimPrintOptionHelp(stdout, SimOptionUse::kEcsim);
            return 0;
        case SimAction::kVersion:
            printf("ecsim %s\n", EC_VERSION);
            return 0;
        case SimAction::kPrintHeader:
            fflush(stdout);
            return SimEepromPrintHeader(settings->print_header);
        case SimAction::kServe:
            break;
    }
    if (settings->iface == nullptr) {
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

// True once the interface is up (IFF_UP): frames sent on an interface that is down go
// nowhere, so ecsim does not say it serves before then. An interface that stays down
// for kInterfaceUpWaitUs is refused with a message.
bool WaitUntilUp(int fd, const char* iface) {
    ifreq request{};
    snprintf(request.ifr_name, sizeof(request.ifr_name), "%s", iface);
    uint64_t start = ClockMicros();
    for (;;) {
        if (ioctl(fd, SIOCGIFFLAGS, &request) != 0) {
            fprintf(stderr, "ecsim: cannot read the state of %s: %s\n", iface, strerror(errno));
            return false;
        }
        if ((request.ifr_flags & IFF_UP) != 0) {
            // A socket bound while the interface was down holds that news as an error;
            // it is old now.
            int pending = 0;
            socklen_t length = sizeof(pending);
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length);
            return true;
        }
        if (ClockMicros() - start >= kInterfaceUpWaitUs) break;
        WaitMicroseconds(kInterfaceUpPollUs);
    }
    fprintf(stderr, "ecsim: %s is down; bring it up first (ip link set %s up)\n", iface, iface);
    return false;
}

struct Server {
    int fd;
    int ifindex;
    SimWire wire;
    uint8_t request[kSimFrameBytes + 1];
    uint8_t reply[kSimFrameBytes];
    uint64_t send_errors;
    uint64_t oversize;
    uint64_t went_down;  // times the interface went down while served
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
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return true;
            // The interface went down (the socket reports it once): frames come again
            // when it is back up. Only an interface that is gone ends the service.
            if (errno == ENETDOWN) {
                char name[IF_NAMESIZE];
                bool exists = if_indextoname(static_cast<unsigned>(server->ifindex), name) != nullptr;
                errno = ENETDOWN;
                if (exists) server->went_down++;
                return exists;
            }
            return false;
        }
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
    static SimSettings settings;
    int read = ReadCommandLine(argc, argv, &settings);
    if (read >= 0) return read;

    if (settings.cpu >= 0) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(settings.cpu, &set);
        if (sched_setaffinity(0, sizeof(set), &set) != 0) {
            fprintf(stderr, "ecsim: cannot run on CPU %d: %s\n", settings.cpu, strerror(errno));
            return kExitUsage;
        }
    }

    SimBuild build{};
    char reason[1024];
    if (!SimBuildSegment(settings, &build, reason, sizeof(reason))) {
        fprintf(stderr, "ecsim: %s\n", reason);
        return kExitUsage;
    }
    SimSegment* segment = build.segment;

    static Server server;
    server.fd = OpenSegmentSocket(settings.iface, &server.ifindex);
    if (server.fd < 0 || !WaitUntilUp(server.fd, settings.iface)) {
        if (server.fd >= 0) close(server.fd);
        SimSegmentDestroy(segment);
        return kExitFailure;
    }
    SimWireInit(&server.wire, segment, build.faults);

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
    if (!settings.busy_poll) sigprocmask(SIG_BLOCK, &stop_signals, &wait_mask);

    // A slave line is hardware and answers at once. Sleeping between frames, ecsim
    // depends on the scheduler to wake it; where permitted it asks for a head start over
    // ordinary work, so a busy machine delays its replies less. A spinning ecsim keeps
    // the ordinary priority: it must not crowd out the rest of the machine.
    if (!settings.busy_poll) setpriority(PRIO_PROCESS, 0, kBlockingNice);

    printf("ecsim: serving %d slaves on %s\n", settings.slaves, settings.iface);
    fflush(stdout);

    int result = Serve(&server, settings.busy_poll, &wait_mask);

    SimEepromSaveAll(segment);
    fprintf(stderr, "ecsim: requests=%llu replies=%llu dropped=%llu foreign=%llu send_errors=%llu oversize=%llu",
            static_cast<unsigned long long>(server.wire.requests), static_cast<unsigned long long>(server.wire.replies),
            static_cast<unsigned long long>(server.wire.dropped),
            static_cast<unsigned long long>(server.wire.foreign_sent),
            static_cast<unsigned long long>(server.send_errors), static_cast<unsigned long long>(server.oversize));
    if (server.went_down > 0) fprintf(stderr, " went_down=%llu", static_cast<unsigned long long>(server.went_down));
    fputc('\n', stderr);
    close(server.fd);
    SimSegmentDestroy(segment);
    return result;
}
