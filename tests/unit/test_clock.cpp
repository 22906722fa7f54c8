#include <gtest/gtest.h>

#include "link/clock.h"

namespace {

int64_t Micros(TimeStamp t) { return static_cast<int64_t>(t.seconds) * 1000000 + t.microseconds; }

}  // namespace

TEST(DeadlineArithmetic, AddsWithOneCarryAndKeepsMicrosecondsInRange) {
    TimeStamp t = TimeStampAdd({5, 999500}, 1000);
    EXPECT_EQ(t.seconds, 6);
    EXPECT_EQ(t.microseconds, 500);

    t = TimeStampAdd({10, 400000}, 2500000);  // whole seconds and a remainder, no carry
    EXPECT_EQ(t.seconds, 12);
    EXPECT_EQ(t.microseconds, 900000);

    t = TimeStampAdd({10, 600000}, 2500000);  // the remainder carries into the seconds
    EXPECT_EQ(t.seconds, 13);
    EXPECT_EQ(t.microseconds, 100000);

    t = TimeStampAdd({7, 999999}, 999999);  // largest remainder on largest start: still one carry
    EXPECT_EQ(t.seconds, 8);
    EXPECT_EQ(t.microseconds, 999998);

    t = TimeStampAdd({3, 0}, 1000000);  // exactly one second
    EXPECT_EQ(t.seconds, 4);
    EXPECT_EQ(t.microseconds, 0);

    t = TimeStampAdd({100, 5}, 4294967295u);  // the largest count a caller can pass
    EXPECT_EQ(Micros(t), 100 * 1000000LL + 5 + 4294967295LL);
    EXPECT_LT(t.microseconds, 1000000);
}

TEST(DeadlineArithmetic, ComparesSecondsFirstAndCountsEqualAsReached) {
    EXPECT_TRUE(TimeStampReached({6, 500}, {6, 500}));
    EXPECT_FALSE(TimeStampReached({6, 499}, {6, 500}));
    EXPECT_TRUE(TimeStampReached({6, 501}, {6, 500}));
    // A later second wins even with fewer microseconds, and the other way round.
    EXPECT_TRUE(TimeStampReached({7, 0}, {6, 999999}));
    EXPECT_FALSE(TimeStampReached({5, 999999}, {6, 0}));
    // Both fields compare as signed values.
    EXPECT_FALSE(TimeStampReached({-1, 0}, {0, 0}));
    EXPECT_TRUE(TimeStampReached({0, 0}, {-1, 999999}));
}

TEST(Clock, IsMonotonicAndDeadlinesFollowIt) {
    TimeStamp previous = ClockNow();
    for (int i = 0; i < 10000; i++) {
        TimeStamp now = ClockNow();
        ASSERT_GE(now.microseconds, 0);
        ASSERT_LT(now.microseconds, 1000000);
        ASSERT_GE(Micros(now), Micros(previous));
        previous = now;
    }
    EXPECT_TRUE(DeadlinePassed(DeadlineAfter(0)));  // passed at once
    EXPECT_FALSE(DeadlinePassed(DeadlineAfter(10000000)));
    TimeStamp before = ClockNow();
    TimeStamp deadline = DeadlineAfter(3000);
    EXPECT_GE(Micros(deadline) - Micros(before), 3000);
    EXPECT_LT(Micros(deadline) - Micros(before), 3000 + 1000000);  // loose: a busy machine
}

TEST(Clock, WaitsLastAtLeastTheirTimeAndAMillisecondIsNotATick) {
    for (uint32_t wait : {0u, 200u, 400u, 1000u, 2500u}) {
        TimeStamp before = ClockNow();
        WaitMicroseconds(wait);
        EXPECT_GE(Micros(ClockNow()) - Micros(before), wait) << wait;
    }
    // Twenty 1000 µs waits: about 20 ms. A sleep rounded to a 10 ms scheduler tick would
    // take 200 ms or more; the bound is loose for a shared machine.
    TimeStamp before = ClockNow();
    for (int i = 0; i < 20; i++) WaitMicroseconds(1000);
    int64_t took = Micros(ClockNow()) - Micros(before);
    EXPECT_GE(took, 20000);
    EXPECT_LT(took, 150000);
}
