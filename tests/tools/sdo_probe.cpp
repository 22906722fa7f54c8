// sdo_probe: runs Init on the machine's adapters (inside a test namespace), then the
// SDO, register and ESC register operations named on the command line, in order, and
// prints one key=value line per operation. Used by the end-to-end tests.
//
//   sdo_probe OP...   each OP one argument, words separated by blanks:
//     count                          slaves=N
//     write S INDEX SUB CA N [T]     writes N pattern bytes; result=R
//     check S INDEX SUB CA N [T]     reads back, compares with the pattern of N bytes
//     read S INDEX SUB CA CAP [T]    result=R size=SIZE hex=first 16 bytes
//     regw S REG VALUE               WriteRegister
//     regr S REG                     value=V (hex)
//     fpread S REG LEN               result=R hex=...
//     errors                         one line per error list entry, oldest first
//     record S                       the slave's mailbox fields and state as the master holds them
//   Numbers take C notation (0x for hex). T is the timeout in µs (default 100000).
//   SDO_PROBE_RETRIES=N: a write, check or read that failed without any new entry in
//   the error list (an exchange lost to a loaded machine, not a slave's answer) is
//   tried again up to N times; the line shows the last attempt.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "api/ecdevice.h"
#include "slave/context.h"

namespace {

// The line(s) of the operation being run, printed once its last attempt is made.
char g_output[8192];
size_t g_output_length = 0;
int g_result = 1;  // the SDO result of the operation, for the retry decision

__attribute__((format(printf, 1, 2))) void Out(const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = vsnprintf(g_output + g_output_length, sizeof(g_output) - g_output_length, format, args);
    va_end(args);
    if (n > 0) g_output_length = std::min(sizeof(g_output) - 1, g_output_length + static_cast<size_t>(n));
}

std::vector<uint8_t> Pattern(long size) {
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    for (long i = 0; i < size; i++) bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(i * 7 + size);
    return bytes;
}

void PrintHex(const uint8_t* bytes, long count) {
    Out(" hex=");
    for (long i = 0; i < count && i < 16; i++) Out("%02x", bytes[i]);
}

const char* TypeName(int32_t type) {
    switch (type) {
        case SDO_ABORT:
            return "abort";
        case EMERGENCY:
            return "emergency";
        case PACKET_ERROR:
            return "packet";
        case MAILBOX_ERROR:
            return "mailbox";
        default:
            return "unknown";
    }
}

void PrintErrors() {
    const ErrorList& list = g_master.error_list;
    for (int at = list.read_position; at != list.push_position; at = (at + 1) % kErrorListSlots) {
        const ErrorEntry& e = list.entries[at];
        Out("error type=%s slave=%u index=0x%04x sub=%u", TypeName(e.error_type), e.slave, e.index, e.subindex);
        if (e.error_type == SDO_ABORT)
            Out(" code=0x%08x\n", static_cast<uint32_t>(e.abort_code));
        else
            Out(" code=0x%04x register=0x%02x mfr=%02x,%04x,%04x\n", e.error_code, e.error_register, e.mfr_byte,
                   e.mfr_word1, e.mfr_word2);
    }
}

int RunOperation(const char* text) {
    char op[16] = {0};
    long a[6] = {0, 0, 0, 0, 0, 100000};
    char numbers[6][32] = {{0}};
    int fields = sscanf(text, "%15s %31s %31s %31s %31s %31s %31s", op, numbers[0], numbers[1], numbers[2],
                        numbers[3], numbers[4], numbers[5]);
    for (int i = 0; i + 1 < fields; i++) a[i] = strtol(numbers[i], nullptr, 0);
    int s = static_cast<int>(a[0]);
    if (strcmp(op, "count") == 0) {
        Out("slaves=%d\n", GetSlaveCount());
    } else if (strcmp(op, "write") == 0 && fields >= 6) {
        std::vector<uint8_t> data = Pattern(a[4]);
        int result = SdoWrite(s, static_cast<int>(a[1]), static_cast<int>(a[2]), static_cast<int>(a[3]),
                              static_cast<int>(a[4]), data.data(), static_cast<int>(a[5]));
        g_result = result;
        Out("write slave=%d index=0x%04lx size=%ld result=%d\n", s, a[1], a[4], result);
    } else if ((strcmp(op, "check") == 0 || strcmp(op, "read") == 0) && fields >= 6) {
        long capacity = a[4];
        std::vector<uint8_t> data(static_cast<size_t>(capacity) + 1, 0);
        int size = static_cast<int>(capacity);
        int result = SdoRead(s, static_cast<int>(a[1]), static_cast<int>(a[2]), static_cast<int>(a[3]), &size,
                             data.data(), static_cast<int>(a[5]));
        g_result = result;
        if (strcmp(op, "check") == 0) {
            std::vector<uint8_t> expected = Pattern(capacity);
            bool match = size == capacity && memcmp(data.data(), expected.data(), static_cast<size_t>(capacity)) == 0;
            Out("check slave=%d index=0x%04lx size=%d result=%d match=%d\n", s, a[1], size, result, match ? 1 : 0);
        } else {
            Out("read slave=%d index=0x%04lx result=%d size=%d", s, a[1], result, size);
            PrintHex(data.data(), result > 0 ? size : 0);
            Out("\n");
        }
    } else if (strcmp(op, "regw") == 0 && fields >= 4) {
        WriteRegister(s, static_cast<int>(a[1]), static_cast<int>(a[2]));
        Out("regw slave=%d reg=0x%lx\n", s, a[1]);
    } else if (strcmp(op, "regr") == 0 && fields >= 3) {
        Out("regr slave=%d reg=0x%lx value=0x%08x\n", s, a[1],
               static_cast<unsigned>(ReadRegister(s, static_cast<int>(a[1]))));
    } else if (strcmp(op, "fpread") == 0 && fields >= 4) {
        uint8_t data[EC_MAX_DATAGRAM_DATA] = {0};
        int result = FPRead(s, static_cast<int>(a[1]), static_cast<int>(a[2]), data, 2000);
        Out("fpread slave=%d reg=0x%04lx result=%d", s, a[1], result);
        PrintHex(data, result > 0 ? a[2] : 0);
        Out("\n");
    } else if (strcmp(op, "record") == 0 && fields >= 2 && s >= 0 && s < kMaxSlaveRecords) {
        const SlaveRecord& r = g_master.slave_table[s];
        Out("record slave=%d write=0x%04x:%u read=0x%04x:%u protocols=0x%04x state=0x%04x code=0x%04x\n", s,
            r.mbx_write_offset, r.mbx_length, r.mbx_read_offset, r.mbx_read_length, r.mbx_protocols, r.state,
            r.al_status_code);
    } else if (strcmp(op, "errors") == 0) {
        PrintErrors();
    } else {
        fprintf(stderr, "sdo_probe: bad operation '%s'\n", text);
        return 2;
    }
    return 0;
}

int ErrorEntries() {
    const ErrorList& list = g_master.error_list;
    return (list.push_position - list.read_position + kErrorListSlots) % kErrorListSlots;
}

}  // namespace

int main(int argc, char** argv) {
    const char* retries_text = getenv("SDO_PROBE_RETRIES");
    const int retries = retries_text != nullptr ? atoi(retries_text) : 0;
    int slaves = Init();
    printf("init=%d\n", slaves);
    for (int i = 1; i < argc; i++) {
        const bool transfer = strncmp(argv[i], "write", 5) == 0 || strncmp(argv[i], "check", 5) == 0 ||
                              strncmp(argv[i], "read", 4) == 0;
        for (int attempt = 0;; attempt++) {
            const int errors_before = ErrorEntries();
            g_output_length = 0;
            g_result = 1;
            int rc = RunOperation(argv[i]);
            if (rc != 0) return rc;
            bool lost = transfer && g_result <= 0 && ErrorEntries() == errors_before;
            if (!lost || attempt >= retries) break;
            fprintf(stderr, "sdo_probe: '%s' lost an exchange (result %d), trying again\n", argv[i], g_result);
        }
        fputs(g_output, stdout);
        fflush(stdout);
    }
    Deinit();
    return 0;
}
