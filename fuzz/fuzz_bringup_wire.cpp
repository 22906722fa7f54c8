// Register contents and working counters from the wire into the network bring-up.
//
// Every datagram of ConfigureNetwork is answered by the scripted responder
// (responder.h): the counting read may report any number of slaves (also above the 199
// the table holds), registers any values, EEPROM interfaces any status (busy, NACK,
// error bits, 8-byte reads) and data. Whatever comes, the bring-up must end, keep the
// table within its records and leave every name terminated.
//
// Input: the responder script only. Once it is used up, the quiet slave answers (working
// counter 1, AL status INIT, EEPROM idle, data zero).
#include <cstring>

#include "harness.h"
#include "link/frame_port.h"
#include "responder.h"
#include "slave/bringup.h"
#include "slave/context.h"
#include "slave/eeprom.h"
#include "virtual_clock.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzResetMaster();
    VirtualClockReset(5999000000ULL);
    FuzzReader in = MakeReader(data, size);
    ResponderInstall(&in);
    FUZZ_CHECK(PortOpen(&g_master.port, "fuzz0") == 1);

    int result = ConfigureNetwork(&g_master);
    FuzzTrace("bring-up: result %d, slaves %d, name of slave 1 \"%s\"", result, g_master.slave_count,
              g_master.slave_table[1].name);
    FUZZ_CHECK(result >= -3 && result <= 0xFFFF);
    if (result <= 0) FUZZ_CHECK(g_master.slave_count == 0);
    FUZZ_CHECK(g_master.slave_count <= kLegacyMaxSlaves);
    FuzzCheckMasterInvariants();
    for (int n = 1; n <= g_master.slave_count; n++) {
        const SlaveRecord& record = g_master.slave_table[n];
        FUZZ_CHECK(record.eeprom_at_pdi == 0);
        FUZZ_CHECK(record.mbx_counter == 0);
        FUZZ_CHECK(record.topology <= 4 && (record.active_ports & ~0x0F) == 0);
        FUZZ_CHECK(record.has_dc <= 1 && record.block_lrw <= 1 && record.eeprom_8byte_reads <= 1);
    }
    if (g_master.slave_count > 0) {
        // The name of slave 1 again, through the same code the dialog's caller uses,
        // into a buffer of exactly the size the record gives a name.
        char* name = new char[kSlaveNameBytes];
        memset(name, 0x5A, kSlaveNameBytes);
        SiiString(&g_master, name, 1);
        bool touched = false;
        for (int i = 0; i < kSlaveNameBytes; i++) touched = touched || name[i] != 0x5A;
        if (touched) FUZZ_CHECK(memchr(name, '\0', kSlaveNameBytes) != nullptr);
        delete[] name;
    }
    PortClose(&g_master.port);
    ResponderUninstall();
    return 0;
}
