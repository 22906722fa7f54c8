// bringup_probe: opens the frame port on an interface (libpcap), runs the network
// bring-up and prints the slave table as key=value lines, one per field, for the
// end-to-end scripts.
//
//   bringup_probe IFACE [--slave-by-slave|--pipelined] [--all-mailboxes] [--write-word WORD:VALUE]...
//                 [--write-header-checksum]
//
// --slave-by-slave         read the identity words one slave after the other (no pipelining)
// --pipelined              address slave after slave, then start a word on every slave before
//                          finishing any (the default works on every slave at once)
// --all-mailboxes          after the bring-up, finish the read-mailbox words every slave
//                          had started (slave 1's are finished by the bring-up itself)
// --write-word W:V         then write EEPROM word W of slave 1  -> written.W=1|0
// --write-header-checksum  then read words 0-6 of slave 1 and write their CRC-8 into
//                          word 7                              -> written.7=1|0
//
// Lines: result=N, slave_count=N, elapsed_us=T, group.G.logical_start_address=...,
// aggregate.block_lrw / aggregate.ebus_current, then slave.N.FIELD=VALUE for every
// record from 1 to the slave count. Numbers are hexadecimal (0x...) where the field is
// an address, identity word or bit set, decimal otherwise; the name is printed as it is.
// Exit code 0 when the port opened (whatever the result), 1 when it did not, 2 on a
// usage error.
#include <cstdio>
#include <cstring>

#include "link/clock.h"
#include "slave/bringup.h"
#include "slave/context.h"
#include "slave/eeprom.h"
#include "sim/sii_image.h"

namespace {

void PrintSlave(int n) {
    const SlaveRecord& r = g_master.slave_table[n];
    auto hex = [n](const char* key, unsigned value, int digits) { printf("slave.%d.%s=0x%0*x\n", n, key, digits, value); };
    auto dec = [n](const char* key, long value) { printf("slave.%d.%s=%ld\n", n, key, value); };
    hex("config_address", r.config_address, 4);
    hex("alias_address", r.alias_address, 4);
    hex("interface_type", r.interface_type, 4);
    hex("vendor_id", r.vendor_id, 8);
    hex("product_code", r.product_code, 8);
    hex("revision_no", r.revision_no, 8);
    hex("mbx_write_offset", r.mbx_write_offset, 4);
    dec("mbx_length", r.mbx_length);
    hex("mbx_read_offset", r.mbx_read_offset, 4);
    dec("mbx_read_length", r.mbx_read_length);
    hex("mbx_protocols", r.mbx_protocols, 4);
    for (int s = 0; s < 2; s++) {
        printf("slave.%d.sm%d=0x%04x:%u:0x%08x\n", n, s, r.sync_managers[s].start_address, r.sync_managers[s].length,
               r.sync_managers[s].flags);
    }
    printf("slave.%d.sm_types=%u,%u,%u,%u\n", n, r.sm_types[0], r.sm_types[1], r.sm_types[2], r.sm_types[3]);
    dec("eeprom_8byte_reads", r.eeprom_8byte_reads);
    dec("eeprom_at_pdi", r.eeprom_at_pdi);
    dec("mbx_counter", r.mbx_counter);
    dec("has_dc", r.has_dc);
    hex("port_type", r.port_type, 2);
    dec("topology", r.topology);
    hex("active_ports", r.active_ports, 2);
    hex("state", r.state, 4);
    hex("al_status_code", r.al_status_code, 4);
    hex("coe_details", r.coe_details, 2);
    hex("foe_details", r.foe_details, 2);
    hex("eoe_details", r.eoe_details, 2);
    hex("soe_details", r.soe_details, 2);
    dec("block_lrw", r.block_lrw);
    dec("ebus_current", r.ebus_current);
    printf("slave.%d.name=%s\n", n, r.name);
}

// The bring-up leaves the read of word 0x001A started on slaves 2 and above; finish it
// as a host program's set-up would, so the scripts can compare every mailbox.
void FinishReadMailboxes() {
    for (int n = 2; n <= g_master.slave_count; n++) {
        SlaveRecord& r = g_master.slave_table[n];
        if (r.mbx_length == 0) continue;
        uint32_t words = EepromReadFinish(&g_master, static_cast<uint16_t>(n));
        if (EepromLastFinishFailed(&g_master, static_cast<uint16_t>(n))) {
            printf("slave.%d.read_mailbox=failed\n", n);
            continue;
        }
        r.mbx_read_offset = static_cast<uint16_t>(words);
        r.mbx_read_length = static_cast<uint16_t>(words >> 16);
        if (r.mbx_read_length == 0) r.mbx_read_length = r.mbx_length;
    }
}

enum { kMaxWrites = 8 };

bool WriteHeaderChecksum() {
    uint16_t address = g_master.slave_table[1].config_address;
    uint16_t words[8] = {0};
    for (uint16_t w = 0; w < 7; w += 2) {
        uint64_t pair = EepromReadWord(&g_master, address, w);
        words[w] = static_cast<uint16_t>(pair);
        if (w + 1 < 7) words[w + 1] = static_cast<uint16_t>(pair >> 16);
    }
    return EepromWriteWord(&g_master, address, 7, SiiHeaderCrc(words)) == 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: bringup_probe IFACE [--slave-by-slave] [--all-mailboxes]\n");
        return 2;
    }
    EepromReadOrder order = EepromReadOrder::kParallel;
    bool all_mailboxes = false;
    bool write_checksum = false;
    int write_words[kMaxWrites], write_values[kMaxWrites];
    int writes = 0;
    for (int i = 2; i < argc; i++) {
        if (strcmp(argv[i], "--write-word") == 0 && i + 1 < argc && writes < kMaxWrites) {
            int word = -1, value = -1;
            char tail = 0;
            if (sscanf(argv[++i], "%i:%i%c", &word, &value, &tail) != 2 || word < 0 || word > 0x7FF || value < 0 ||
                value > 0xFFFF) {
                fprintf(stderr, "bringup_probe: --write-word needs WORD:VALUE\n");
                return 2;
            }
            write_words[writes] = word;
            write_values[writes] = value;
            writes++;
        } else if (strcmp(argv[i], "--write-header-checksum") == 0) {
            write_checksum = true;
        } else if (strcmp(argv[i], "--slave-by-slave") == 0) {
            order = EepromReadOrder::kSlaveBySlave;
        } else if (strcmp(argv[i], "--pipelined") == 0) {
            order = EepromReadOrder::kPipelined;
        } else if (strcmp(argv[i], "--all-mailboxes") == 0) {
            all_mailboxes = true;
        } else {
            fprintf(stderr, "bringup_probe: unknown option %s\n", argv[i]);
            return 2;
        }
    }
    if (PortOpen(&g_master.port, argv[1]) == 0) return 1;
    TimeStamp start = ClockNow();
    int result = ConfigureNetworkWith(&g_master, order);
    TimeStamp end = ClockNow();
    long long elapsed = (static_cast<long long>(end.seconds) - start.seconds) * 1000000LL + end.microseconds -
                        start.microseconds;
    if (all_mailboxes) FinishReadMailboxes();
    printf("result=%d\n", result);
    for (int i = 0; i < writes && result > 0; i++) {
        int written = EepromWriteWord(&g_master, g_master.slave_table[1].config_address,
                                      static_cast<uint16_t>(write_words[i]), static_cast<uint16_t>(write_values[i]));
        printf("written.%d=%d\n", write_words[i], written);
    }
    if (write_checksum && result > 0) printf("written.7=%d\n", WriteHeaderChecksum() ? 1 : 0);
    printf("slave_count=%d\n", g_master.slave_count);
    printf("elapsed_us=%lld\n", elapsed);
    for (int g = 0; g < kMaxGroups; g++)
        printf("group.%d.logical_start_address=0x%08x\n", g, g_master.group_table[g].logical_start_address);
    printf("aggregate.block_lrw=%d\n", g_master.slave_table[0].block_lrw);
    printf("aggregate.ebus_current=%d\n", g_master.slave_table[0].ebus_current);
    for (int n = 1; n <= g_master.slave_count; n++) PrintSlave(n);
    PortClose(&g_master.port);
    return 0;
}
