// Several masters in one process, each on an in-process segment of its own opened by
// name ("sim:" and ecsim's options): what one master does never reaches the other.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <thread>

#include "link/datagram.h"
#include "sim/segment.h"
#include "sim/sim_capture.h"
#include "slave/bringup.h"
#include "slave/coe.h"
#include "slave/context.h"
#include "slave/eeprom.h"

namespace {

struct OpenMaster {
    std::unique_ptr<MasterContext> master = std::make_unique<MasterContext>();
    char errbuf[kCaptureErrorSize] = {0};
    int Open(const char* name) { return PortOpenOn(&master->port, &kSimCaptureBackend, name, errbuf); }
    ~OpenMaster() { PortClose(&master->port); }
};

TEST(Masters, TwoMastersEachBringUpTheirOwnSegment) {
    OpenMaster a, b;
    ASSERT_EQ(a.Open("sim:--slaves 3 --name 1:'Drive A'"), 1) << a.errbuf;
    ASSERT_EQ(b.Open("sim:--slaves 2 --name 1:Valve --identity all:0x99:0x1234:7"), 1) << b.errbuf;
    ASSERT_EQ(ConfigureNetwork(a.master.get()), 3);
    ASSERT_EQ(ConfigureNetwork(b.master.get()), 2);
    EXPECT_STREQ(a.master->slave_table[1].name, "Drive A");
    EXPECT_STREQ(b.master->slave_table[1].name, "Valve");
    EXPECT_EQ(b.master->slave_table[2].vendor_id, 0x99u);
    EXPECT_NE(a.master->slave_table[2].vendor_id, 0x99u);
    // Writing station memory through one master leaves the other segment alone.
    const uint16_t pattern = 0xBEEF;
    ASSERT_EQ(FPWR(&a.master->port, 0x1001, 0x1800, 2, &pattern, 100000), 1);
    uint16_t seen_a = 0, seen_b = 0;
    ASSERT_EQ(FPRD(&a.master->port, 0x1001, 0x1800, 2, &seen_a, 100000), 1);
    ASSERT_EQ(FPRD(&b.master->port, 0x1001, 0x1800, 2, &seen_b, 100000), 1);
    EXPECT_EQ(seen_a, pattern);
    EXPECT_NE(seen_b, pattern);
}

TEST(Masters, MastersOnTwoThreadsDoNotShareReplies) {
    OpenMaster a, b;
    ASSERT_EQ(a.Open("sim:--slaves 1"), 1) << a.errbuf;
    ASSERT_EQ(b.Open("sim:--slaves 1"), 1) << b.errbuf;
    ASSERT_EQ(ConfigureNetwork(a.master.get()), 1);
    ASSERT_EQ(ConfigureNetwork(b.master.get()), 1);
    const uint16_t mark_a = 0x1111, mark_b = 0x2222;
    ASSERT_EQ(FPWR(&a.master->port, 0x1001, 0x1800, 2, &mark_a, 100000), 1);
    ASSERT_EQ(FPWR(&b.master->port, 0x1001, 0x1800, 2, &mark_b, 100000), 1);
    int wrong[2] = {0, 0};
    auto reader = [&wrong](MasterContext* master, uint16_t mark, int who) {
        for (int i = 0; i < 2000; i++) {
            uint16_t seen = 0;
            if (FPRD(&master->port, 0x1001, 0x1800, 2, &seen, 500000) != 1 || seen != mark) wrong[who]++;
        }
    };
    std::thread one(reader, a.master.get(), mark_a, 0);
    std::thread two(reader, b.master.get(), mark_b, 1);
    one.join();
    two.join();
    EXPECT_EQ(wrong[0], 0);
    EXPECT_EQ(wrong[1], 0);
}

TEST(Masters, ABadSegmentDescriptionOpensNothingAndSaysWhy) {
    OpenMaster a;
    EXPECT_EQ(a.Open("sim:--slaves 3 --name 7:X"), 0);
    EXPECT_NE(strstr(a.errbuf, "out of range"), nullptr) << a.errbuf;
    EXPECT_FALSE(PortIsOpen(&a.master->port));
    EXPECT_EQ(a.Open("sim:--slaves 'two"), 0);
    EXPECT_NE(a.errbuf[0], '\0');
    EXPECT_EQ(a.Open("eth0"), 0) << "only sim: names are in-process segments";
    EXPECT_NE(strstr(a.errbuf, "sim:"), nullptr) << a.errbuf;
    EXPECT_EQ(a.Open("sim:--iface eth0"), 0) << "ecsim-only options are refused in process";
}

}  // namespace
