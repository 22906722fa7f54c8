// The new API's scan on the SII engine and packed frames, on in-process segments opened
// by name, on the virtual clock: failing EEPROMs leave only their own records
// incomplete, and a faulty wire gives the records of a clean one.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ecalias.h"
#include "sim/sii_image.h"
#include "support_virtual_clock.h"

namespace {

struct Scan {
    int count = 0;
    std::vector<ec_slave_info> info;
};

Scan ScanOf(const char* adapter) {
    Scan scan;
    ec_master* m = nullptr;
    EXPECT_EQ(ec_open(adapter, &m), EC_OK) << adapter;
    if (m == nullptr) return scan;
    EXPECT_EQ(ec_scan(m, &scan.count), EC_OK);
    scan.info.resize(static_cast<size_t>(scan.count) + 1);
    for (int n = 1; n <= scan.count; n++) ec_slave_info_get(m, n, &scan.info[static_cast<size_t>(n)]);
    ec_close(m);
    return scan;
}

}  // namespace

TEST(ParallelScan, FailingEepromsLeaveOnlyTheirRecordsIncomplete) {
    VirtualClock clock{2};
    const Scan scan = ScanOf("sim:--slaves 6 --name 2:Drive --eight-byte 4 --eeprom-nack 3:all --eeprom-busy-stuck 5");
    ASSERT_EQ(scan.count, 6);
    for (int n = 1; n <= 6; n++) {
        const ec_slave_info& i = scan.info[static_cast<size_t>(n)];
        EXPECT_EQ(i.position, n);
        if (n == 3 || n == 5) {
            EXPECT_EQ(i.complete, 0) << n;
            EXPECT_EQ(i.parts_read & EC_PART_IDENTITY, 0u) << n;
            EXPECT_NE(i.parts_read & EC_PART_ALIAS_REGISTER, 0u) << n;  // a register, not the EEPROM
            continue;
        }
        EXPECT_EQ(i.complete, 1) << n;
        EXPECT_EQ(i.product_code, kSiiDefaultProductBase + static_cast<uint32_t>(n)) << n;
        EXPECT_EQ(i.mailbox_write_size, 128u) << n;
        EXPECT_EQ(i.al_state & 0x0F, 2) << n;  // PRE-OP: the mailboxes were set up
    }
    EXPECT_STREQ(scan.info[2].name, "Drive");
}

TEST(ParallelScan, LossDuplicatesAndLateRepliesGiveTheUnfaultedRecords) {
    VirtualClock clock{2};
    const Scan clean = ScanOf("sim:--slaves 5 --name 4:Axis --no-strings 2");
    ASSERT_EQ(clean.count, 5);
    for (const char* seed : {"1", "2"}) {
        const std::string adapter =
            std::string("sim:--slaves 5 --name 4:Axis --no-strings 2 --drop 0.05 --dup 0.1 --late 0.05:2500 --seed ") +
            seed;
        const Scan lossy = ScanOf(adapter.c_str());
        ASSERT_EQ(lossy.count, 5) << seed;
        for (int n = 1; n <= 5; n++)
            EXPECT_EQ(memcmp(&clean.info[static_cast<size_t>(n)], &lossy.info[static_cast<size_t>(n)],
                             sizeof(ec_slave_info)),
                      0)
                << "seed " << seed << " slave " << n;
    }
    EXPECT_EQ(clean.info[2].name[0], '\0');
    EXPECT_NE(clean.info[2].parts_read & EC_PART_NAME, 0u);  // no strings category: no name, read
    EXPECT_STREQ(clean.info[4].name, "Axis");
}
