// Replies into the CoE SDO transfers: SdoUpload and SdoDownload.
//
// The slave is the scripted responder (responder.h), so initiate replies, segment
// replies, aborts, emergencies and mailbox error replies carry whatever commands,
// lengths, sizes and toggles the input gives. The caller's buffer for an upload has the
// capacity the input chooses and sits alone on the heap with exactly that size, so any
// copy past it is caught; a download's data likewise.
//
// Input: a setup block, then the responder script.
//   direction (1: bit 0 upload/download, bit 1 complete access), index (2), subindex (1),
//   mbx_length (2), mbx_write_offset (2), mbx_read_length (2), mbx_read_offset (2),
//   mbx_counter (1, % 8), timeout (2, % 3001), size (4: the upload's capacity or the
//   download's size; mostly 0..4999, sometimes any 32-bit value), then for a download
//   up to 64 bytes of data (the rest of the data is a pattern)
#include <cstdlib>
#include <cstring>

#include "harness.h"
#include "link/frame_port.h"
#include "responder.h"
#include "slave/coe.h"
#include "slave/context.h"
#include "virtual_clock.h"

namespace {

constexpr uint16_t kSlave = 1;
constexpr int32_t kLargestBuffer = 70000;  // above the largest size a download may have

int32_t ChooseSize(FuzzReader* in) {
    uint32_t raw = in->Long();
    if (raw & 0x80000000u) return static_cast<int32_t>(raw << 1);  // any value, negative ones too
    return static_cast<int32_t>(raw % 5000);
}

size_t BufferBytes(int32_t size) {
    if (size <= 0) return 0;
    return static_cast<size_t>(size < kLargestBuffer ? size : kLargestBuffer);
}

void CheckResult(int result) { FUZZ_CHECK(result >= -3 && result <= 0xFFFF); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzResetMaster();
    VirtualClockReset(5999000000ULL);
    FuzzReader in = MakeReader(data, size);
    uint8_t direction = in.Byte();
    bool upload = (direction & 1) == 0;
    uint8_t complete_access = (direction >> 1) & 1;
    uint16_t index = in.Word();
    uint8_t subindex = in.Byte();
    g_master.slave_count = 1;
    SlaveRecord& record = g_master.slave_table[kSlave];
    record.config_address = 0x1001;
    record.mbx_length = FuzzLength(&in, kMailboxBytes);
    record.mbx_write_offset = in.Word();
    record.mbx_read_length = FuzzLength(&in, kMailboxBytes);
    record.mbx_read_offset = in.Word();
    record.mbx_counter = static_cast<uint8_t>(in.Byte() % 8);
    int32_t timeout = in.Word() % 3001;
    int32_t chosen_size = ChooseSize(&in);
    // An upload's capacity must be true: the buffer below really holds that many bytes.
    if (upload && chosen_size > kLargestBuffer) chosen_size = kLargestBuffer;
    size_t buffer_bytes = BufferBytes(chosen_size);
    // malloc(0) still gives a distinct pointer, and any access through it is caught.
    uint8_t* buffer = static_cast<uint8_t*>(malloc(buffer_bytes));
    for (size_t i = 0; i < buffer_bytes; i++) buffer[i] = static_cast<uint8_t>(i * 7 + 1);

    if (upload) {
        ResponderInstall(&in);
        FUZZ_CHECK(PortOpen(&g_master.port, "fuzz0") == 1);
        int32_t delivered = chosen_size;
        int result = SdoUpload(&g_master, kSlave, index, subindex, complete_access, &delivered, buffer, timeout);
        CheckResult(result);
        FuzzTrace("upload 0x%04x:%02x capacity %d: result %d, size %d", index, subindex, chosen_size, result,
                  delivered);
        // Never more delivered than the buffer holds; a failed upload may leave the
        // capacity or report what came before the failure.
        if (chosen_size >= 0 || result > 0) FUZZ_CHECK(delivered >= 0 && delivered <= (chosen_size > 0 ? chosen_size : 0));
    } else {
        in.Take(buffer, buffer_bytes < 64 ? buffer_bytes : 64);
        ResponderInstall(&in);
        FUZZ_CHECK(PortOpen(&g_master.port, "fuzz0") == 1);
        int result = SdoDownload(&g_master, kSlave, index, subindex, complete_access, chosen_size, buffer, timeout);
        CheckResult(result);
        FuzzTrace("download 0x%04x:%02x size %d: result %d", index, subindex, chosen_size, result);
        if (chosen_size < 0 || chosen_size > 0xFFFF) FUZZ_CHECK(result <= 0);
    }
    free(buffer);
    FuzzCheckMasterInvariants();
    FUZZ_CHECK(g_master.slave_count == 1);
    PortClose(&g_master.port);
    ResponderUninstall();
    return 0;
}
