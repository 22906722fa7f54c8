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

// A service tool lists slaves and reads EEPROMs on lines that run: a scan must not send
// the line back to INIT. A second scan finds the states the first left, and SDOs work
// with the SyncManagers the slaves run with.
TEST(ScanKeepsStates, ARescanLeavesRunningSlavesInTheirStateAndTheirMailboxesUsable) {
    VirtualClock clock{2};
    ec_master* m = nullptr;
    ASSERT_EQ(ec_open("sim:--slaves 3", &m), EC_OK);
    int count = 0;
    ASSERT_EQ(ec_scan(m, &count), EC_OK);
    ASSERT_EQ(count, 3);
    // A request before the rescan: the slave remembers its counter, and a request that
    // carried it again after the rescan would be taken for a repeat and never answered.
    uint8_t data[4] = {};
    size_t size = sizeof data;
    ASSERT_EQ(ec_sdo_upload(m, 2, 0x1018, 4, 0, data, &size, 100000), EC_OK);
    ASSERT_EQ(ec_state_request(m, 2, EC_STATE_SAFEOP, 1000000), EC_OK);
    ASSERT_EQ(ec_scan(m, &count), EC_OK);
    ec_slave_info info{};
    ASSERT_EQ(ec_slave_info_get(m, 2, &info), EC_OK);
    EXPECT_EQ(info.al_state & 0x0F, EC_STATE_SAFEOP);
    EXPECT_EQ(info.complete, 1);
    ASSERT_EQ(ec_slave_info_get(m, 1, &info), EC_OK);
    EXPECT_EQ(info.al_state & 0x0F, EC_STATE_PREOP);
    data[0] = 0;
    size = sizeof data;
    EXPECT_EQ(ec_sdo_upload(m, 2, 0x1018, 4, 0, data, &size, 100000), EC_OK);
    EXPECT_EQ(data[0], 2);
    size = sizeof data;
    EXPECT_EQ(ec_sdo_upload(m, 2, 0x1018, 4, 0, data, &size, 100000), EC_OK);  // and the one after
    ec_close(m);
}

// A slave that refuses a state sets its error indication at once and follows no request
// until the error is acknowledged: the call says so without waiting out its timeout.
TEST(ScanKeepsStates, ARefusedStateRequestReturnsWithoutWaitingOutItsTimeout) {
    VirtualClock clock{2};
    ec_master* m = nullptr;
    ASSERT_EQ(ec_open("sim:--slaves 2", &m), EC_OK);
    ASSERT_EQ(ec_scan(m, nullptr), EC_OK);
    const uint64_t before = clock.Micros();
    EXPECT_EQ(ec_state_request(m, 1, EC_STATE_OP, 5000000), EC_ESTATE);  // PRE-OP to OP is not a transition
    EXPECT_LT(clock.Micros() - before, 1000000u);
    ec_error_detail detail{};
    ASSERT_EQ(ec_last_error(m, &detail), EC_OK);
    EXPECT_EQ(detail.al_status_code, 0x0011);
    EXPECT_EQ(ec_state_request(m, 0, EC_STATE_OP, 5000000), EC_ESTATE);
    EXPECT_LT(clock.Micros() - before, 2000000u);
    ec_close(m);
}

// Position 0 asks every slave at once: the slaves that can follow reach the state, and
// the status and the detail are those of the first slave in line order that refused,
// not of whichever was asked last.
TEST(ScanKeepsStates, EverySlaveAtOnceReportsTheFirstRefusalAndTheOthersFollow) {
    VirtualClock clock{2};
    ec_master* m = nullptr;
    ASSERT_EQ(ec_open("sim:--slaves 300", &m), EC_OK);
    ASSERT_EQ(ec_scan(m, nullptr), EC_OK);
    ASSERT_EQ(ec_state_request(m, 0, EC_STATE_INIT, 2000000), EC_OK);
    ASSERT_EQ(ec_state_request(m, 0, EC_STATE_PREOP, 2000000), EC_OK);
    ec_slave_info info{};
    for (int n = 1; n <= 300; n++) {
        ASSERT_EQ(ec_slave_info_get(m, n, &info), EC_OK);
        ASSERT_EQ(info.al_state & 0x0F, EC_STATE_PREOP) << "slave " << n;
    }
    // Slaves 7 and 250 in SAFE-OP may go on to OP; PRE-OP to OP is no transition.
    ASSERT_EQ(ec_state_request(m, 7, EC_STATE_SAFEOP, 2000000), EC_OK);
    ASSERT_EQ(ec_state_request(m, 250, EC_STATE_SAFEOP, 2000000), EC_OK);
    const uint64_t before = clock.Micros();
    EXPECT_EQ(ec_state_request(m, 0, EC_STATE_OP, 5000000), EC_ESTATE);
    EXPECT_LT(clock.Micros() - before, 1000000u);  // refusals end the wait, not the timeout
    ec_error_detail detail{};
    ASSERT_EQ(ec_last_error(m, &detail), EC_OK);
    EXPECT_EQ(detail.position, 1);
    EXPECT_EQ(detail.al_status_code, 0x0011);
    for (int n : {7, 250}) {
        ASSERT_EQ(ec_slave_info_get(m, n, &info), EC_OK);
        EXPECT_EQ(info.al_state, EC_STATE_OP) << "slave " << n;
        uint16_t state = 0;
        ASSERT_EQ(ec_state_read(m, n, &state, nullptr), EC_OK);
        EXPECT_EQ(state, EC_STATE_OP) << "slave " << n;
    }
    ASSERT_EQ(ec_slave_info_get(m, 300, &info), EC_OK);
    EXPECT_EQ(info.al_state & 0x1F, EC_STATE_PREOP | EC_STATE_ERROR);
    EXPECT_EQ(info.al_status_code, 0x0011);
    ec_close(m);
}
// Before the mailboxes are set up, every slave's AL state is read once to tell slaves in
// INIT from running ones. With these seeds a frame of that read is lost: sent only once,
// it left its slaves' state unknown and them out of the setup (in INIT, no mailbox). It
// is sent again now, and the records are those of a clean wire.
TEST(ScanKeepsStates, ALostStateReadLeavesNoSlaveOutOfTheMailboxSetup) {
    VirtualClock clock{2};
    const Scan clean = ScanOf("sim:--slaves 5 --name 4:Axis --no-strings 2");
    ASSERT_EQ(clean.count, 5);
    for (const char* seed : {"20", "25", "39"}) {
        const std::string adapter = std::string("sim:--slaves 5 --name 4:Axis --no-strings 2 --drop 0.1 --seed ") + seed;
        const Scan lossy = ScanOf(adapter.c_str());
        ASSERT_EQ(lossy.count, 5) << seed;
        for (int n = 1; n <= 5; n++) {
            EXPECT_EQ(lossy.info[static_cast<size_t>(n)].al_state & 0x0F, 2) << "seed " << seed << " slave " << n;
            EXPECT_EQ(memcmp(&clean.info[static_cast<size_t>(n)], &lossy.info[static_cast<size_t>(n)],
                             sizeof(ec_slave_info)),
                      0)
                << "seed " << seed << " slave " << n;
        }
    }
}
