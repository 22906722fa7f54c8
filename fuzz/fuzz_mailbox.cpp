// Mailbox replies into the mailbox transport: MailboxReceive, MailboxSend, MailboxEmpty.
//
// The slave is the scripted responder (responder.h): every status read, mailbox read and
// repeat handshake step gets the working counter and data the input gives. The slave
// record's mailbox words come from the input too, inside 0..1486 and deliberately also
// outside, as a damaged EEPROM would give them.
//
// Input: a setup block, then the responder script.
//   call (1: byte % 3: receive, send, empty), mbx_length (2), mbx_write_offset (2),
//   mbx_read_length (2), mbx_read_offset (2), mbx_counter (1, % 8), timeout (2, % 3001),
//   repeat count (1, % 4: further receives after the first); for a send, the message's
//   length (2, % 1487) and bytes
#include <cstdlib>
#include <cstring>

#include "harness.h"
#include "link/frame_port.h"
#include "responder.h"
#include "slave/context.h"
#include "slave/mailbox.h"
#include "virtual_clock.h"

namespace {

constexpr uint16_t kSlave = 1;

void SetUpSlave(FuzzReader* in) {
    g_master.slave_count = 1;
    SlaveRecord& record = g_master.slave_table[kSlave];
    record.config_address = 0x1001;
    record.mbx_length = FuzzLength(in, kMailboxBytes);
    record.mbx_write_offset = in->Word();
    record.mbx_read_length = FuzzLength(in, kMailboxBytes);
    record.mbx_read_offset = in->Word();
    record.mbx_counter = static_cast<uint8_t>(in->Byte() % 8);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzResetMaster();
    VirtualClockReset(5999000000ULL);
    FuzzReader in = MakeReader(data, size);
    int call = in.Byte() % 3;
    SetUpSlave(&in);
    int32_t timeout = in.Word() % 3001;
    int repeats = in.Byte() % 4;
    ResponderInstall(&in);
    FUZZ_CHECK(PortOpen(&g_master.port, "fuzz0") == 1);

    // The message buffer sits alone on the heap, exactly its size, so a write past it
    // is caught.
    MailboxBuffer* message = static_cast<MailboxBuffer*>(malloc(sizeof(MailboxBuffer)));
    memset(message, 0, sizeof(MailboxBuffer));
    switch (call) {
        case 0:
            for (int i = 0; i <= repeats; i++) {
                int result = MailboxReceive(&g_master, kSlave, message, timeout);
                FuzzTrace("receive: result %d, type %d, length %d", result, message->bytes[5] & 0x0F,
                          message->bytes[0] | (message->bytes[1] << 8));
                FUZZ_CHECK(result >= -2 && result <= 0xFFFF);
                if (g_master.slave_table[kSlave].mbx_read_length == 0 ||
                    g_master.slave_table[kSlave].mbx_read_length > kMailboxBytes)
                    FUZZ_CHECK(result == 0);
            }
            break;
        case 1: {
            in.Take(message->bytes, in.Word() % (sizeof(message->bytes) + 1));
            uint8_t counter = NextMailboxCounter(&g_master, kSlave);
            FUZZ_CHECK(counter >= 1 && counter <= 7);
            int result = MailboxSend(&g_master, kSlave, message);
            FuzzTrace("send: result %d", result);
            FUZZ_CHECK(result >= -2 && result <= 0xFFFF);
            if (g_master.slave_table[kSlave].mbx_length == 0 || g_master.slave_table[kSlave].mbx_length > kMailboxBytes)
                FUZZ_CHECK(result == 0);
            break;
        }
        default: {
            int result = MailboxEmpty(&g_master, kSlave);
            FuzzTrace("empty: result %d", result);
            FUZZ_CHECK(result == 0 || result == 1);
            break;
        }
    }
    free(message);
    FuzzCheckMasterInvariants();
    FUZZ_CHECK(g_master.slave_count == 1);
    PortClose(&g_master.port);
    ResponderUninstall();
    return 0;
}
