// Each master runs on the clock it was given: its deadlines, resends, rests and waits,
// and the time of the in-process segment it opened, all read that clock and no other.
#include <gtest/gtest.h>

#include <memory>

#include "link/clock.h"
#include "link/datagram.h"
#include "sim/segment.h"
#include "sim/sim_capture.h"
#include "slave/bringup.h"
#include "slave/context.h"
#include "slave/eeprom.h"

namespace {

// A virtual clock that moves only by the waits asked of it and a step per reading, and
// counts how often it was read.
struct CountingClock {
    uint64_t now_us = 1000000;
    uint64_t readings = 0;
    uint64_t waited_us = 0;
    ClockSource source{Now, Wait, this};

    static uint64_t Now(void* context) {
        CountingClock* clock = static_cast<CountingClock*>(context);
        clock->readings++;
        return clock->now_us += 1;
    }
    static void Wait(void* context, uint32_t microseconds) {
        CountingClock* clock = static_cast<CountingClock*>(context);
        clock->now_us += microseconds;
        clock->waited_us += microseconds;
    }
};

struct ClockedMaster {
    std::unique_ptr<MasterContext> master = std::make_unique<MasterContext>();
    CountingClock clock;
    char errbuf[kCaptureErrorSize] = {0};
    int Open(const char* name) {
        master->port.clock = &clock.source;
        return PortOpenOn(&master->port, &kSimCaptureBackend, name, errbuf);
    }
    ~ClockedMaster() { PortClose(&master->port); }
};

class MasterClock : public ::testing::Test {
protected:
    // The process's clock, installed so that any reading of it is seen.
    void SetUp() override { ClockInstall(&process.source); }
    void TearDown() override { ClockInstall(nullptr); }
    CountingClock process;
};

}  // namespace

TEST_F(MasterClock, AMasterAndItsSegmentReadOnlyTheClockTheMasterWasGiven) {
    ClockedMaster a, b;
    ASSERT_EQ(a.Open("sim:--slaves 2 --eeprom-latency 400:5000"), 1) << a.errbuf;
    ASSERT_EQ(b.Open("sim:--slaves 1"), 1) << b.errbuf;
    ASSERT_EQ(b.master->port.clock, &b.clock.source);
    SimSegment* segment_a = SimCaptureSegment(a.master->port.capture);
    ASSERT_EQ(segment_a->clock, &a.clock.source) << "the segment takes the clock of the master that opened it";

    // A whole bring-up (counting, addressing, EEPROM reads with their busy times, state
    // polls) on master A moves A's clock only.
    const uint64_t b_before = b.clock.readings;
    ASSERT_EQ(ConfigureNetwork(a.master.get()), 2);
    EXPECT_STREQ(a.master->slave_table[1].name, "ecsim slave 1");
    EXPECT_GT(a.clock.readings, 0u);
    EXPECT_GT(a.clock.waited_us, 0u) << "the EEPROM's busy time was waited out on A's clock";
    EXPECT_EQ(b.clock.readings, b_before);
    EXPECT_EQ(process.readings, 0u) << "nothing read the process's clock";
    EXPECT_EQ(process.waited_us, 0u);

    // A read whose slave is busy: the segment's busy time and the master's polls share
    // A's clock, so the word arrives after at least the 400 us read latency of A's time.
    const uint64_t a_before = a.clock.now_us;
    const uint64_t word = EepromReadWord(a.master.get(), a.master->slave_table[1].config_address, 0x0008);
    EXPECT_EQ(word & 0xFFFFFFFFu, 0x00000EC5u) << "vendor id from SII words 8-9";
    EXPECT_GE(a.clock.now_us - a_before, 400u);
    EXPECT_EQ(process.readings, 0u);

    // B on its own clock: A's does not move.
    const uint64_t a_readings = a.clock.readings;
    ASSERT_EQ(ConfigureNetwork(b.master.get()), 1);
    EXPECT_GT(b.clock.readings, b_before);
    EXPECT_EQ(a.clock.readings, a_readings);
    EXPECT_EQ(process.readings, 0u);
}

TEST_F(MasterClock, AMasterGivenNoClockReadsTheProcessClock) {
    ClockedMaster legacy;
    legacy.master->port.clock = nullptr;
    ASSERT_EQ(PortOpenOn(&legacy.master->port, &kSimCaptureBackend, "sim:--slaves 1", legacy.errbuf), 1);
    EXPECT_EQ(SimCaptureSegment(legacy.master->port.capture)->clock, nullptr);
    ASSERT_EQ(ConfigureNetwork(legacy.master.get()), 1);
    EXPECT_GT(process.readings, 0u);
    EXPECT_GT(process.waited_us, 0u);
    EXPECT_EQ(legacy.clock.readings, 0u);
}
