// Host calls from several threads at once, each thread on slaves of its own, as
// ecdevice.h allows; and Init racing Init, Deinit and calls in flight. The segment is
// the in-process one, brought up by the host's Init; the calls and their checks are
// those of tests/tools/stress_engine.h, which the end-to-end probe runs against ecsim.
//
// Nothing here is timed: each case runs a fixed number of rounds. Without faults the
// timeouts are far longer than any exchange needs, so a failure is a fault of the
// master, not a slow machine.
#include <atomic>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "api/connection.h"
#include "api/ecdevice.h"
#include "sim/inproc_capture.h"
#include "sim/sim_coe.h"
#include "support_segment.h"
#include "tests/tools/stress_engine.h"

namespace {

// Timeouts no exchange on the in-process segment comes near without a fault.
constexpr int32_t kGenerousSdoTimeout = 2000000;
constexpr int32_t kGenerousFpTimeout = 500000;

std::string Describe(const stress::Result& result) {
    std::string text;
    for (int k = 0; k < stress::kKinds; k++) {
        const stress::Tally& t = result.kinds[k];
        if (t.calls == 0) continue;
        text += std::string(stress::KindName(k)) + ": calls " + std::to_string(t.calls) + ", failed " +
                std::to_string(t.failed) + ", wrong " + std::to_string(t.wrong) + "\n";
    }
    for (const std::string& note : result.notes) text += "wrong: " + note + "\n";
    for (const std::string& note : result.failures) text += "failed: " + note + "\n";
    return text;
}

class ConcurrencyBase : public SegmentTest {
protected:
    void SetUp() override {
        ResetMaster();
        SetSegmentHandler(nullptr);
    }
    void TearDown() override {
        Deinit();
        SegmentTest::TearDown();
    }

    // A segment of `slaves` slaves, each holding 0x4001:00 (1200 bytes) and 0x4002:00
    // (5000 bytes) of counting bytes, behind an adapter the host's Init finds.
    void AttachSegment(int slaves, const SimFaultSettings& faults = SimFaultSettings{}) {
        segment = SimSegmentCreate(slaves);
        for (SimSlave* slave : segment->slaves) {
            stress::Bytes medium = stress::Counting(stress::kObjectMediumBytes);
            stress::Bytes large = stress::Counting(stress::kObjectLargeBytes);
            SimObjectDefine(slave, stress::kObjectMedium, 0, kSimOctets, false, medium.data(),
                            static_cast<uint32_t>(medium.size()));
            SimObjectDefine(slave, stress::kObjectLarge, 0, kSimOctets, false, large.data(),
                            static_cast<uint32_t>(large.size()));
        }
        SimWireInit(&wire, segment, faults);
        adapter = InprocAdapter{};
        adapter.name = "sim0";
        adapter.description = "virtual segment";
        adapter.wire = &wire;
        InprocInstall(&adapter, 1);
    }

    static stress::Config Generous(int slaves, int threads, int rounds) {
        stress::Config config;
        config.slaves = slaves;
        config.threads = threads;
        config.rounds = rounds;
        config.sdo_timeout_us = kGenerousSdoTimeout;
        config.fp_timeout_us = kGenerousFpTimeout;
        config.stop_after_failures = 5;  // none is expected: a few tell enough
        return config;
    }
};

class Concurrency : public ConcurrencyBase {};

TEST_F(Concurrency, OneThreadPerSlaveGetsOnlyItsOwnSlavesData) {
    AttachSegment(3);
    ASSERT_EQ(Init(), 3);
    stress::Result result = stress::Run(Generous(3, 3, 100));
    const stress::Tally total = result.Total();
    EXPECT_EQ(total.wrong, 0) << Describe(result);
    EXPECT_EQ(total.failed, 0) << "no fault on the wire, and timeouts no exchange comes near\n" << Describe(result);
    EXPECT_EQ(result.rounds, 3 * 100);
    // Every kind of call was made.
    for (int k = 0; k < stress::kKinds; k++) EXPECT_GT(result.kinds[k].calls, 0) << stress::KindName(k);
}

TEST_F(Concurrency, ThreadsServingSeveralSlavesEachKeepThemApart) {
    AttachSegment(4);
    ASSERT_EQ(Init(), 4);
    stress::Result result = stress::Run(Generous(4, 2, 60));
    const stress::Tally total = result.Total();
    EXPECT_EQ(total.wrong, 0) << Describe(result);
    EXPECT_EQ(total.failed, 0) << Describe(result);
    EXPECT_EQ(result.rounds, 2 * 60);
}

// Faults on the in-process wire: lost exchanges, duplicated replies, late replies,
// foreign frames. Calls may fail where the wire loses or delays a reply; none may
// succeed with wrong data. Duplicates alone lose nothing: there no call may fail
// either, with timeouts no exchange comes near. The others use the timeouts a host
// program of the field uses (200 ms for SDO, 10 ms for a datagram), so that late
// replies come after their call gave up.
struct FaultCase {
    const char* name;
    SimFaultSettings faults;
    int rounds;
    bool nothing_lost;
};

void PrintTo(const FaultCase& fault, std::ostream* out) { *out << fault.name; }

class ConcurrencyUnderFaults : public ConcurrencyBase, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(ConcurrencyUnderFaults, NoCallSucceedsWithWrongData) {
    const FaultCase& fault = GetParam();
    // The bring-up runs on a sound wire (its tolerance of faults is tested on its own);
    // the faults start with the calls. No thread runs while they are set.
    AttachSegment(3);
    ASSERT_EQ(Init(), 3);
    wire.faults = fault.faults;
    wire.rng_state = fault.faults.seed;
    stress::Config config = Generous(3, 3, fault.rounds);
    if (!fault.nothing_lost) {
        config.sdo_timeout_us = 200000;
        config.fp_timeout_us = 10000;
        config.stop_after_failures = 0;
    }
    stress::Result result = stress::Run(config);
    EXPECT_EQ(result.Total().wrong, 0) << Describe(result);
    if (fault.nothing_lost) {
        EXPECT_EQ(result.Total().failed, 0) << "a duplicate loses nothing\n" << Describe(result);
    }
    EXPECT_EQ(result.rounds, 3 * fault.rounds) << "every round ran";
}

INSTANTIATE_TEST_SUITE_P(
    Wire, ConcurrencyUnderFaults,
    ::testing::Values(FaultCase{"Drop5", SimFaultSettings{0.05, 0, 0, 0, 0, 11}, 12, false},
                      FaultCase{"Duplicate20", SimFaultSettings{0, 0.2, 0, 0, 0, 12}, 100, true},
                      FaultCase{"Late10Percent20ms", SimFaultSettings{0, 0, 0.1, 20000, 0, 13}, 8, false},
                      FaultCase{"AllAtOnce", SimFaultSettings{0.03, 0.1, 0.05, 5000, 0.05, 14}, 4, false}),
    [](const ::testing::TestParamInfo<FaultCase>& case_info) { return std::string(case_info.param.name); });

// Init from two threads at once, and Init racing Deinit while calls are in flight. Init
// and Deinit run alone: a second Init waits for the first and then starts afresh, a
// Deinit waits for an Init in progress or runs before it; so every Init finds the
// segment. The adapter is closed exactly once for every time it was opened.
class ConcurrentInit : public ConcurrencyBase {
protected:
    // Runs `a` and `b` in two threads released at the same moment.
    template <typename A, typename B>
    static void AtOnce(A a, B b) {
        std::atomic<int> ready{0};
        auto start = [&ready] {
            ready++;
            while (ready.load() < 2) std::this_thread::yield();
        };
        std::thread first([&] {
            start();
            a();
        });
        std::thread second([&] {
            start();
            b();
        });
        first.join();
        second.join();
    }
};

TEST_F(ConcurrentInit, TwoInitsAtOnceBothFindEverySlave) {
    AttachSegment(3);
    constexpr int kRounds = 30;
    int short_counts = 0;
    for (int round = 0; round < kRounds; round++) {
        int first = -1, second = -1;
        AtOnce([&] { first = Init(); }, [&] { second = Init(); });
        if (first != 3 || second != 3) {
            short_counts++;
            ADD_FAILURE() << "round " << round << ": the Inits found " << first << " and " << second << " slaves";
        }
    }
    EXPECT_EQ(short_counts, 0);
    EXPECT_EQ(GetSlaveCount(), 3);
    // The master works after the races.
    stress::Result result = stress::Run(Generous(3, 3, 4));
    EXPECT_EQ(result.Total().wrong, 0) << Describe(result);
    EXPECT_EQ(result.Total().failed, 0) << Describe(result);
    Deinit();
    EXPECT_EQ(adapter.opens, adapter.closes) << "every open adapter closed once, none twice";
}

TEST_F(ConcurrentInit, InitRacingDeinitWithCallsInFlight) {
    AttachSegment(3);
    ASSERT_EQ(Init(), 3);
    constexpr int kRounds = 30;
    std::atomic<bool> stop{false};
    std::atomic<long> calls{0}, wrong{0};
    // One caller per slave: a success must carry the slave's own station address and
    // position, whatever Init and Deinit do meanwhile.
    std::vector<std::thread> callers;
    for (int s = 1; s <= 3; s++)
        callers.emplace_back([&, s] {
            while (!stop.load()) {
                uint8_t station[2] = {0, 0};
                if (FPRead(s, 0x0010, 2, station, 10000) > 0 && (station[0] | (station[1] << 8)) != 0x1000 + s)
                    wrong++;
                uint8_t position[8] = {0};
                int size = sizeof(position);
                if (SdoRead(s, 0x1018, 4, 0, &size, position, 200000) > 0 &&
                    (size != 4 || position[0] != s || position[1] != 0 || position[2] != 0 || position[3] != 0))
                    wrong++;
                calls += 2;
                std::this_thread::yield();
            }
        });
    int short_counts = 0;
    for (int round = 0; round < kRounds; round++) {
        int found = -1;
        AtOnce([&] { found = Init(); }, [] { Deinit(); });
        if (found != 3) short_counts++;
    }
    stop = true;
    for (std::thread& t : callers) t.join();
    EXPECT_EQ(wrong.load(), 0) << "of " << calls.load() << " calls made during the races";
    EXPECT_EQ(short_counts, 0) << "a Deinit does not cut into an Init";

    ASSERT_EQ(Init(), 3) << "a fresh Init after the races finds the segment";
    stress::Result result = stress::Run(Generous(3, 3, 4));
    EXPECT_EQ(result.Total().wrong, 0) << Describe(result);
    EXPECT_EQ(result.Total().failed, 0) << Describe(result);
    Deinit();
    EXPECT_EQ(adapter.opens, adapter.closes) << "every open adapter closed once, none twice";
}

}  // namespace
