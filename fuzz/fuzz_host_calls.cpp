// A host program's arguments into the exported functions, with the replies of scripted
// slaves (responder.h) behind them.
//
// Slave numbers, register addresses, lengths, sizes, capacities and timeouts come from
// the input, also the ones the functions must refuse (negative, too large, null
// buffers, slaves outside the table), and calls also come while the port is closed.
// Every buffer handed over is a heap block of exactly the size the call announces, so
// a function that reads or writes past what the host gave is caught. Results must be
// the documented values.
//
// Input: slave count (1, % 4) and, per slave, mbx_length and mbx_read_length (2 each),
// then calls until the input ends, each a call byte (% 6) and its arguments; the
// responder reads its script from the same input as the calls send datagrams.
// ReadRegister is left out: its twenty patient polls for a register that never answers
// cost seconds per input; its transfers are SdoUpload's, which fuzz_sdo covers.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ecdevice.h"
#include "harness.h"
#include "link/frame_port.h"
#include "responder.h"
#include "slave/context.h"
#include "virtual_clock.h"

namespace {

constexpr int kMaxCalls = 16;
constexpr int32_t kLargestBuffer = 70000;

int ChooseSlave(FuzzReader* in) {
    uint8_t raw = in->Byte();
    if (raw & 0x80) return static_cast<int32_t>(in->Long());  // anything a host may pass
    return raw % 5;                                           // 0..4: around the table's edges
}

int32_t ChooseTimeout(FuzzReader* in) {
    uint16_t raw = in->Word();
    if (raw & 0x8000) return -static_cast<int32_t>(raw & 0x7FFF) - 1;
    return raw % 3001;
}

int32_t ChooseLength(FuzzReader* in, int32_t usual_limit) {
    uint32_t raw = in->Long();
    if (raw & 0x80000000u) return static_cast<int32_t>(raw << 1);
    return static_cast<int32_t>(raw % static_cast<uint32_t>(usual_limit + 2));
}

// A heap block of exactly `bytes` (none at all for a null pointer the call must refuse).
uint8_t* HostBuffer(int32_t bytes, bool null) {
    if (null) return nullptr;
    size_t size = bytes > 0 ? static_cast<size_t>(bytes < kLargestBuffer ? bytes : kLargestBuffer) : 0;
    uint8_t* buffer = static_cast<uint8_t*>(malloc(size));
    for (size_t i = 0; i < size; i++) buffer[i] = static_cast<uint8_t>(i);
    return buffer;
}

bool BadSlave(int slave) { return slave < 1 || slave > g_master.slave_count; }

void CheckResult(int result, int slave) {
    FUZZ_CHECK(result >= EC_BAD_ARGUMENT && result <= 0xFFFF);
    if (BadSlave(slave)) FUZZ_CHECK(result == EC_BAD_SLAVE);
}

void CallFrameAccess(FuzzReader* in, bool write) {
    int slave = ChooseSlave(in);
    int reg = static_cast<int32_t>(in->Long());
    int32_t length = ChooseLength(in, EC_MAX_DATAGRAM_DATA);
    bool null = (in->Byte() & 7) == 0;
    int32_t timeout = ChooseTimeout(in);
    uint8_t* data = HostBuffer(length, null);
    int result = write ? FPWrite(slave, reg, length, data, timeout) : FPRead(slave, reg, length, data, timeout);
    CheckResult(result, slave);
    FuzzTrace("%s(%d, 0x%x, %d): %d", write ? "FPWrite" : "FPRead", slave, reg, length, result);
    bool refused = length < 0 || length > EC_MAX_DATAGRAM_DATA || (null && length > 0) || timeout < 0;
    if (!BadSlave(slave)) FUZZ_CHECK(refused ? result == EC_BAD_ARGUMENT : result != EC_BAD_ARGUMENT);
    free(data);
}

void CallSdoRead(FuzzReader* in) {
    int slave = ChooseSlave(in);
    int index = static_cast<int32_t>(in->Long());
    int subindex = static_cast<int32_t>(in->Long());
    int complete_access = static_cast<int8_t>(in->Byte());
    int32_t capacity = ChooseLength(in, 4999);
    if (capacity > kLargestBuffer) capacity = kLargestBuffer;  // the host's capacity is true
    bool null = (in->Byte() & 7) == 0;
    int32_t timeout = ChooseTimeout(in);
    uint8_t* data = HostBuffer(capacity, null);
    int size = capacity;
    int result = SdoRead(slave, index, subindex, complete_access, &size, data, timeout);
    CheckResult(result, slave);
    FuzzTrace("SdoRead(%d, 0x%x, %d, capacity %d): %d, size %d", slave, index, subindex, capacity, result, size);
    if (!BadSlave(slave) && (null || capacity < 0 || timeout < 0)) FUZZ_CHECK(result == EC_BAD_ARGUMENT);
    if (result > 0) FUZZ_CHECK(size >= 0 && size <= capacity);
    free(data);
}

void CallSdoWrite(FuzzReader* in) {
    int slave = ChooseSlave(in);
    int index = static_cast<int32_t>(in->Long());
    int subindex = static_cast<int32_t>(in->Long());
    int complete_access = static_cast<int8_t>(in->Byte());
    int32_t size = ChooseLength(in, 4999);
    bool null = (in->Byte() & 7) == 0;
    int32_t timeout = ChooseTimeout(in);
    // A size beyond the largest block is refused before any byte is read, or the
    // overrun is caught at the block's end.
    uint8_t* data = HostBuffer(size, null);
    int result = SdoWrite(slave, index, subindex, complete_access, size, data, timeout);
    CheckResult(result, slave);
    FuzzTrace("SdoWrite(%d, 0x%x, %d, size %d): %d", slave, index, subindex, size, result);
    if (!BadSlave(slave) && (null || size < 1 || size > 65535 || timeout < 0)) FUZZ_CHECK(result == EC_BAD_ARGUMENT);
    free(data);
}

void CallNames(FuzzReader* in) {
    int slave = ChooseSlave(in);
    const char* name = GetSlaveName(slave);
    FUZZ_CHECK((name == nullptr) == BadSlave(slave));
    if (name != nullptr) FUZZ_CHECK(memchr(name, '\0', kSlaveNameBytes) != nullptr);
    FUZZ_CHECK(GetSlaveHardFlag(slave) == (BadSlave(slave) ? EC_BAD_SLAVE : 0));
    FUZZ_CHECK(GetSlaveCount() == g_master.slave_count);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzResetMaster();
    VirtualClockReset(5999000000ULL);
    FuzzReader in = MakeReader(data, size);
    g_master.slave_count = in.Byte() % 4;
    for (int n = 1; n <= g_master.slave_count; n++) {
        SlaveRecord& record = g_master.slave_table[n];
        record.config_address = static_cast<uint16_t>(0x1000 + n);
        record.mbx_write_offset = 0x1000;
        record.mbx_length = FuzzLength(&in, kMailboxBytes);
        record.mbx_read_offset = 0x1080;
        record.mbx_read_length = FuzzLength(&in, kMailboxBytes);
        snprintf(record.name, sizeof(record.name), "slave %d", n);
    }
    ResponderInstall(&in);
    FUZZ_CHECK(PortOpen(&g_master.port, "fuzz0") == 1);
    for (int call = 0; call < kMaxCalls && !in.Empty(); call++) {
        switch (in.Byte() % 6) {
            case 0:
                CallFrameAccess(&in, false);
                break;
            case 1:
                CallFrameAccess(&in, true);
                break;
            case 2:
                CallSdoRead(&in);
                break;
            case 3:
                CallSdoWrite(&in);
                break;
            case 4: {
                int slave = ChooseSlave(&in);
                int reg = static_cast<int32_t>(in.Long());
                int value = static_cast<int32_t>(in.Long());
                WriteRegister(slave, reg, value);
                break;
            }
            default:
                CallNames(&in);
                // Deinit between calls: what follows runs on a closed port, and must
                // neither crash nor send.
                if (in.Byte() & 1) FUZZ_CHECK(Deinit() == 0);
                break;
        }
        FuzzCheckMasterInvariants();
    }
    PortClose(&g_master.port);
    ResponderUninstall();
    return 0;
}
