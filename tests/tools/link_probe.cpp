// link_probe: runs datagram services through the real frame port (libpcap) on one
// interface and prints what came back as key=value lines, for the end-to-end scripts.
//
//   link_probe IFACE STEP...
//
// Steps, run in order (numbers in C notation: 0x1001, 4097; TIMEOUT in µs, default 6000):
//   count[:TIMEOUT]                     BRD of register 0x0000, 2 bytes    -> count=WKC
//   assign:N[:TIMEOUT]                  APWR 0x1000+n to 0x0010 of slave n, n = 1..N
//                                                                          -> assigned=K (slaves with wkc 1)
//   BRD|APRD|FPRD:ADP:ADO:LEN[:TIMEOUT] one read                            -> read op=.. adp=.. ado=.. wkc=W data=HEX
//   BWR|APWR|FPWR:ADP:ADO:HEX[:TIMEOUT] one write, HEX may be empty        -> write op=.. adp=.. ado=.. wkc=W
//   repeat:K:ADP:ADO:TIMEOUT            K rounds of FPWR of a fresh 2-byte value to station ADP at
//                                       ADO, then FPRD of it back
//                                       -> repeat rounds=K ok=.. wrong=.. write_failed=.. read_failed=..
//                                          (wrong: a read with wkc 1 whose data is not the value written)
//   sleep:MS                            pause
// The exit code is 0 when every step could be parsed and run, 2 on a usage error and
// 1 when the port could not be opened.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "link/datagram.h"
#include "slave/context.h"

namespace {

constexpr int kMaxFields = 8;

struct Fields {
    char storage[4096];  // a step may carry a full datagram in hex
    const char* field[kMaxFields];
    int count;
};

bool Split(const char* step, Fields* out) {
    size_t length = strlen(step);
    if (length >= sizeof(out->storage)) return false;
    memcpy(out->storage, step, length + 1);
    out->count = 0;
    char* p = out->storage;
    for (;;) {
        if (out->count == kMaxFields) return false;
        out->field[out->count++] = p;
        char* colon = strchr(p, ':');
        if (colon == nullptr) break;
        *colon = '\0';
        p = colon + 1;
    }
    return true;
}

bool Number(const char* text, long long low, long long high, long long* value) {
    char* end = nullptr;
    long long v = strtoll(text, &end, 0);
    if (end == text || *end != '\0' || v < low || v > high) return false;
    *value = v;
    return true;
}

bool Hex(const char* text, uint8_t* out, int capacity, int* length) {
    size_t digits = strlen(text);
    if (digits % 2 != 0 || static_cast<int>(digits / 2) > capacity) return false;
    for (size_t i = 0; i < digits; i += 2) {
        char pair[3] = {text[i], text[i + 1], 0};
        char* end = nullptr;
        long v = strtol(pair, &end, 16);
        if (*end != '\0') return false;
        out[i / 2] = static_cast<uint8_t>(v);
    }
    *length = static_cast<int>(digits / 2);
    return true;
}

void PrintHex(const uint8_t* data, int length) {
    for (int i = 0; i < length; i++) printf("%02x", data[i]);
}

using ReadFn = int (*)(FramePort*, uint16_t, uint16_t, uint16_t, void*, int32_t);
using WriteFn = int (*)(FramePort*, uint16_t, uint16_t, uint16_t, const void*, int32_t);

ReadFn ReadService(const char* name) {
    if (strcmp(name, "BRD") == 0) return BRD;
    if (strcmp(name, "APRD") == 0) return APRD;
    if (strcmp(name, "FPRD") == 0) return FPRD;
    return nullptr;
}

WriteFn WriteService(const char* name) {
    if (strcmp(name, "BWR") == 0) return BWR;
    if (strcmp(name, "APWR") == 0) return APWR;
    if (strcmp(name, "FPWR") == 0) return FPWR;
    return nullptr;
}

bool Timeout(const Fields& f, int at, int32_t* timeout) {
    long long value = 6000;
    if (f.count > at && !Number(f.field[at], -2147483648LL, 2147483647LL, &value)) return false;
    *timeout = static_cast<int32_t>(value);
    return true;
}

// Runs one step; false on a usage error.
bool RunStep(FramePort* port, const char* step) {
    Fields f;
    if (!Split(step, &f)) return false;
    const char* op = f.field[0];
    long long adp = 0, ado = 0, n = 0;
    int32_t timeout = 0;
    static uint8_t data[kMaxDatagramData + 16];

    if (strcmp(op, "count") == 0) {
        if (!Timeout(f, 1, &timeout)) return false;
        if (f.count <= 1) timeout = 20000;
        uint8_t type[2] = {0, 0};
        printf("count=%d\n", BRD(port, 0, 0x0000, 2, type, timeout));
        return true;
    }
    if (strcmp(op, "assign") == 0) {
        if (f.count < 2 || f.count > 3 || !Number(f.field[1], 0, 65535, &n) || !Timeout(f, 2, &timeout))
            return false;
        int assigned = 0;
        for (long long slave = 1; slave <= n; slave++) {
            uint16_t address = static_cast<uint16_t>(0x1000 + slave);
            if (APWR(port, static_cast<uint16_t>(1 - slave), 0x0010, 2, &address, timeout) == 1) assigned++;
        }
        printf("assigned=%d\n", assigned);
        return true;
    }
    if (strcmp(op, "sleep") == 0) {
        if (f.count != 2 || !Number(f.field[1], 0, 60000, &n)) return false;
        timespec pause{static_cast<time_t>(n / 1000), static_cast<long>(n % 1000) * 1000000L};
        nanosleep(&pause, nullptr);
        return true;
    }
    if (strcmp(op, "repeat") == 0) {
        long long rounds = 0;
        if (f.count != 5 || !Number(f.field[1], 1, 10000000, &rounds) || !Number(f.field[2], 0, 65535, &adp) ||
            !Number(f.field[3], 0, 65535, &ado) || !Timeout(f, 4, &timeout))
            return false;
        long ok = 0, wrong = 0, write_failed = 0, read_failed = 0;
        for (long long i = 0; i < rounds; i++) {
            uint16_t value = static_cast<uint16_t>(0x5A00 + i * 7);
            if (FPWR(port, static_cast<uint16_t>(adp), static_cast<uint16_t>(ado), 2, &value, timeout) != 1) {
                write_failed++;
                continue;
            }
            uint16_t back = static_cast<uint16_t>(~value);
            int wkc = FPRD(port, static_cast<uint16_t>(adp), static_cast<uint16_t>(ado), 2, &back, timeout);
            if (wkc != 1)
                read_failed++;
            else if (back != value)
                wrong++;
            else
                ok++;
        }
        printf("repeat rounds=%lld ok=%ld wrong=%ld write_failed=%ld read_failed=%ld\n", rounds, ok, wrong,
               write_failed, read_failed);
        return true;
    }
    ReadFn read = ReadService(op);
    WriteFn write = WriteService(op);
    if (read == nullptr && write == nullptr) return false;
    if (f.count < 4 || !Number(f.field[1], 0, 65535, &adp) || !Number(f.field[2], 0, 65535, &ado) ||
        !Timeout(f, 4, &timeout))
        return false;
    if (read != nullptr) {
        long long length = 0;
        if (!Number(f.field[3], 0, kMaxDatagramData + 16, &length)) return false;
        memset(data, 0, sizeof(data));
        int wkc = read(port, static_cast<uint16_t>(adp), static_cast<uint16_t>(ado), static_cast<uint16_t>(length),
                       data, timeout);
        printf("read op=%s adp=0x%04llx ado=0x%04llx len=%lld wkc=%d data=", op, adp, ado, length, wkc);
        PrintHex(data, wkc > 0 ? static_cast<int>(length) : 0);
        printf("\n");
        return true;
    }
    int length = 0;
    if (!Hex(f.field[3], data, static_cast<int>(sizeof(data)), &length)) return false;
    int wkc = write(port, static_cast<uint16_t>(adp), static_cast<uint16_t>(ado), static_cast<uint16_t>(length), data,
                    timeout);
    printf("write op=%s adp=0x%04llx ado=0x%04llx len=%d wkc=%d\n", op, adp, ado, length, wkc);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: link_probe IFACE STEP...\n");
        return 2;
    }
    FramePort* port = &g_master.port;
    if (PortOpen(port, argv[1]) != 1) return 1;
    int result = 0;
    for (int i = 2; i < argc; i++) {
        if (!RunStep(port, argv[i])) {
            fprintf(stderr, "link_probe: bad step '%s'\n", argv[i]);
            result = 2;
            break;
        }
        fflush(stdout);
    }
    PortClose(port);
    return result;
}
