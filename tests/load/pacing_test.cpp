#include "load/pacing.h"

#include <gtest/gtest.h>

namespace {

TEST(Pacing, IntervalIsTheClientsShareOfTheRateInNanoseconds) {
    struct Case {
        std::int32_t targetQps, concurrency;
        std::int64_t intervalNs;
    };
    const Case cases[] = {
        {0, 30, 0},
        {-5, 30, 0},
        {20, 30, 1'500'000'000},  // fewer requests than clients still paces
        {30, 30, 1'000'000'000},
        {100, 30, 300'000'000},  // 100 a second in all, not 90
        {5000, 30, 6'000'000},
        {1000, 1, 1'000'000},
        {1001, 1, 999'000},  // above 1000 a second a client still sleeps
        {20000, 1000, 50'000'000},
        {7, 0, 0},
        {2147483647, 2147483647, 1'000'000'000},
    };
    for (const Case& c : cases) {
        TestConfig config;
        config.targetQps = c.targetQps;
        config.concurrency = c.concurrency;
        EXPECT_EQ(pacingIntervalNs(config), c.intervalNs) << c.targetQps << "/" << c.concurrency;
    }
}

TEST(Pacing, PlansFromThePreviousPlanAndNeverBursts) {
    // On time or slightly late: the plan advances by exactly one interval.
    EXPECT_EQ(nextPlannedStartNs(1000, 100, 1050), 1100);
    EXPECT_EQ(nextPlannedStartNs(1000, 100, 1099), 1100);
    // A cycle longer than the interval: go on at once and plan from now.
    EXPECT_EQ(nextPlannedStartNs(1000, 100, 1100), 1100);
    EXPECT_EQ(nextPlannedStartNs(1000, 100, 5000), 5000);
}

}  // namespace
