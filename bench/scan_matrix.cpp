// What the scans and the many-slave SII read give on an adapter, one line per slave and
// field, for the fault matrix to compare against a run without faults:
//
//   scan_matrix IFNAME api      ec_scan: "N field value" for every part, with the parts
//                               read and the complete flag
//   scan_matrix IFNAME legacy   the legacy bring-up as Init does it (addresses, identity,
//                               names, mailboxes): "N field value"
//   scan_matrix IFNAME sii      words 0-255 of every slave on the SII engine after the
//                               bring-up: "N status S" and "N words HASH" for a read
//                               that ended done
#include <cstdio>
#include <cstring>
#include <vector>

#include "ecalias.h"
#include "slave/bringup.h"
#include "slave/context.h"
#include "slave/sii_engine.h"

int PrepareMailboxes(MasterContext* master);

namespace {

int Api(const char* ifname) {
    ec_master* m = nullptr;
    if (ec_open(ifname, &m) != EC_OK) return 1;
    int count = 0;
    if (ec_scan(m, &count) != EC_OK) {
        ec_close(m);
        return 1;
    }
    printf("0 count %d\n", count);
    for (int n = 1; n <= count; n++) {
        ec_slave_info i{};
        ec_slave_info_get(m, n, &i);
        printf("%d parts 0x%02x\n%d complete %d\n", n, i.parts_read, n, i.complete);
        if (i.parts_read & EC_PART_ALIAS_REGISTER) printf("%d alias_register 0x%04x\n", n, i.alias_register);
        if (i.parts_read & EC_PART_SII_ALIAS) printf("%d sii_alias 0x%04x\n", n, i.sii_alias);
        if (i.parts_read & EC_PART_IDENTITY)
            printf("%d identity 0x%08x:0x%08x:0x%08x\n", n, i.vendor_id, i.product_code, i.revision);
        if (i.parts_read & EC_PART_SERIAL) printf("%d serial 0x%08x\n", n, i.serial);
        if (i.parts_read & EC_PART_NAME) printf("%d name '%s'\n", n, i.name);
        if (i.parts_read & EC_PART_MAILBOX)
            printf("%d mailbox 0x%04x:%u:0x%04x:%u:0x%04x\n", n, i.mailbox_write_offset, i.mailbox_write_size,
                   i.mailbox_read_offset, i.mailbox_read_size, i.mailbox_protocols);
        if (i.parts_read & EC_PART_SII_SIZE) printf("%d sii_words %u\n", n, i.sii_words);
        if (i.parts_read & EC_PART_STATE) printf("%d state 0x%04x:0x%04x\n", n, i.al_state, i.al_status_code);
    }
    ec_close(m);
    return 0;
}

int Legacy(const char* ifname) {
    if (PortOpen(&g_master.port, ifname) != 1) return 1;
    const int count = ConfigureNetwork(&g_master);
    printf("0 count %d\n", count);
    if (count > 0) {
        NameSlaves(&g_master, 2);
        PrepareMailboxes(&g_master);
    }
    for (int n = 1; n <= count; n++) {
        const SlaveRecord& r = g_master.slave_table[n];
        printf("%d address 0x%04x\n%d alias 0x%04x\n", n, r.config_address, n, r.alias_address);
        printf("%d identity 0x%08x:0x%08x:0x%08x\n", n, r.vendor_id, r.product_code, r.revision_no);
        printf("%d mailbox 0x%04x:%u:0x%04x:%u:0x%04x\n", n, r.mbx_write_offset, r.mbx_length, r.mbx_read_offset,
               r.mbx_read_length, r.mbx_protocols);
        printf("%d name '%s'\n%d state 0x%04x\n", n, r.name, n, r.state);
    }
    PortClose(&g_master.port);
    return 0;
}

int Sii(const char* ifname) {
    if (PortOpen(&g_master.port, ifname) != 1) return 1;
    const int count = ConfigureNetwork(&g_master);
    printf("0 count %d\n", count);
    std::vector<std::vector<uint16_t>> words(static_cast<size_t>(count > 0 ? count : 0), std::vector<uint16_t>(256));
    std::vector<SiiJob> jobs;
    for (int n = 1; n <= count; n++)
        jobs.push_back(SiiJob{static_cast<uint16_t>(n), 0, 256, words[static_cast<size_t>(n - 1)].data(), 0, 0, 0});
    SiiReadMany(&g_master, jobs.data(), static_cast<int>(jobs.size()), nullptr);
    for (int n = 1; n <= count; n++) {
        const SiiJob& job = jobs[static_cast<size_t>(n - 1)];
        printf("%d status %s\n", n, job.status == kSiiDone ? "done" : "failed");
        if (job.status != kSiiDone) continue;
        uint32_t hash = 2166136261u;  // FNV-1a over the words
        for (uint16_t w : words[static_cast<size_t>(n - 1)]) {
            hash = (hash ^ (w & 0xFF)) * 16777619u;
            hash = (hash ^ (w >> 8)) * 16777619u;
        }
        printf("%d words 0x%08x\n", n, hash);
    }
    PortClose(&g_master.port);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: scan_matrix IFNAME api|legacy|sii\n");
        return 1;
    }
    if (strcmp(argv[2], "api") == 0) return Api(argv[1]);
    if (strcmp(argv[2], "legacy") == 0) return Legacy(argv[1]);
    if (strcmp(argv[2], "sii") == 0) return Sii(argv[1]);
    fprintf(stderr, "scan_matrix: unknown mode %s\n", argv[2]);
    return 1;
}
