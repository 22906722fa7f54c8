#include "harness.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "slave/context.h"

size_t FuzzReader::Take(uint8_t* out, size_t n) {
    size_t available = Remaining();
    size_t copied = n < available ? n : available;
    if (copied > 0) memcpy(out, data + at, copied);
    at += copied;
    return n - copied;
}

FuzzReader MakeReader(const uint8_t* data, size_t size) { return FuzzReader{data, size, 0}; }

uint16_t FuzzLength(FuzzReader* reader, uint16_t limit) {
    uint16_t raw = reader->Word();
    if (raw & 0x8000) return static_cast<uint16_t>(raw & 0x7FFF);
    return static_cast<uint16_t>(raw % (limit + 1u));
}

void FuzzFail(const char* file, int line, const char* what) {
    fprintf(stderr, "\n%s:%d: property violated: %s\n", file, line, what);
    fflush(stderr);
    abort();
}

void FuzzTrace(const char* format, ...) {
    static int enabled = -1;
    if (enabled < 0) {
        const char* setting = getenv("EC_FUZZ_TRACE");
        enabled = setting != nullptr && setting[0] == '1' ? 1 : 0;
    }
    if (enabled == 0) return;
    va_list arguments;
    va_start(arguments, format);
    vfprintf(stderr, format, arguments);
    va_end(arguments);
    fputc('\n', stderr);
}

void FuzzResetMaster() {
    PortClose(&g_master.port);
    FramePort& port = g_master.port;
    memset(port.rx_frame, 0, sizeof(port.rx_frame));
    memset(port.tx_frame, 0, sizeof(port.tx_frame));
    memset(port.input_frame, 0, sizeof(port.input_frame));
    memset(port.tx_length, 0, sizeof(port.tx_length));
    for (int i = 0; i < kSlotCount; i++) port.rx_state[i] = EMPTY;
    port.last_index = 0;
    SlaveTableZero(&g_master);
    g_master.slave_count = 0;
    memset(g_master.group_table, 0, sizeof(g_master.group_table));
    memset(&g_master.sii_cache, 0, sizeof(g_master.sii_cache));
    memset(&g_master.error_list, 0, sizeof(g_master.error_list));
    g_master.error_flag = 0;
    OwedAnswersZero(&g_master);
}

namespace {

bool RecordIsZero(const SlaveRecord& record) {
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&record);
    for (size_t i = 0; i < sizeof(record); i++)
        if (bytes[i] != 0) return false;
    return true;
}

}  // namespace

void FuzzCheckMasterInvariants() {
    for (int i = 0; i < kSlotCount; i++) {
        int32_t state = g_master.port.rx_state[i];
        FUZZ_CHECK(state >= EMPTY && state <= COMPLETE);
    }
    FUZZ_CHECK(g_master.port.last_index >= 0 && g_master.port.last_index < kSlotCount);
    const ErrorList& list = g_master.error_list;
    FUZZ_CHECK(list.push_position >= 0 && list.push_position < kErrorListSlots);
    FUZZ_CHECK(list.read_position >= 0 && list.read_position < kErrorListSlots);
    for (int i = 0; i < kErrorListSlots; i++) {
        const ErrorEntry& entry = list.entries[i];
        if (entry.signalled == 0) continue;
        FUZZ_CHECK(entry.error_type == SDO_ABORT || entry.error_type == EMERGENCY ||
                   entry.error_type == PACKET_ERROR || entry.error_type == MAILBOX_ERROR);
    }
    // The legacy master keeps its static table of 199 slaves whatever the wire says.
    FUZZ_CHECK(g_master.slave_count >= 0 && g_master.slave_count <= kLegacyMaxSlaves);
    FUZZ_CHECK(g_master.max_slaves == kLegacyMaxSlaves && g_master.max_groups == kMaxGroups);
    FUZZ_CHECK(g_master.slave_table.capacity == kMaxSlaveRecords && !g_master.owns_slave_storage);
    for (int n = g_master.slave_count + 1; n < kMaxSlaveRecords; n++) FUZZ_CHECK(RecordIsZero(g_master.slave_table[n]));
    for (int n = 0; n <= g_master.slave_count; n++) {
        const SlaveRecord& record = g_master.slave_table[n];
        FUZZ_CHECK(memchr(record.name, '\0', sizeof(record.name)) != nullptr);
        FUZZ_CHECK(record.mbx_counter <= 7);
    }
}
