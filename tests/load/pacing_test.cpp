#include "load/pacing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "common/clock.h"
#include "config/client_share.h"

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

// Every planned start before the deadline of every client of the run, as
// the agents (or the one process) running them would plan them, all on time.
std::vector<std::int64_t> plannedStartsOfRun(TestConfig config, std::int32_t agentCount) {
    std::vector<std::int64_t> startsNs;
    const std::int64_t deadlineNs = static_cast<std::int64_t>(config.durationSec) * kNsPerSec;
    for (std::int32_t agent = 1; agent <= std::max(agentCount, 1); ++agent) {
        config.agentCount = agentCount;
        config.agentIndex = agentCount > 0 ? agent : 0;
        for (std::int32_t local = 0; local < localClientCount(config); ++local) {
            PacingSchedule schedule = startPacing(config, globalClientIndex(config, local), 0);
            while (schedule.plannedStartNs < deadlineNs) {
                startsNs.push_back(schedule.plannedStartNs);
                advancePacing(schedule, 0);
            }
        }
    }
    std::sort(startsNs.begin(), startsNs.end());
    return startsNs;
}

TEST(Pacing, TheRunsPlannedStartsAreEvenOverAllClientsAndAddUpToRateTimesRunTime) {
    struct Case {
        std::int32_t targetQps, concurrency, durationSec;
    };
    // Run times that are no multiple of the interval, rates below the
    // client count, and intervals that are no whole number of nanoseconds.
    const Case cases[] = {
        {20, 30, 2},  {4, 10, 3},    {100, 1000, 3}, {45, 30, 4},      {100, 30, 3},
        {1001, 1, 3}, {5000, 30, 3}, {7, 3, 5},      {20000, 1000, 3}, {3, 7, 60},
    };
    for (const Case& c : cases) {
        TestConfig config;
        config.targetQps = c.targetQps;
        config.concurrency = c.concurrency;
        config.durationSec = c.durationSec;
        for (std::int32_t agentCount : {0, 3}) {
            const std::vector<std::int64_t> startsNs = plannedStartsOfRun(config, agentCount);
            ASSERT_EQ(startsNs.size(), static_cast<std::size_t>(c.targetQps) * c.durationSec)
                << c.targetQps << " " << c.concurrency << " " << c.durationSec;
            // Slot n falls at n/targetQps seconds, to the nanosecond.
            for (std::size_t n = 0; n < startsNs.size(); ++n) {
                const std::int64_t exactNs = static_cast<std::int64_t>(n) * kNsPerSec / c.targetQps;
                ASSERT_LE(std::abs(startsNs[n] - exactNs), 1) << c.targetQps << " slot " << n;
            }
        }
    }
}

TEST(Pacing, ALateCycleGoesOnFromNowAndNeverBursts) {
    TestConfig config;
    config.targetQps = 10;
    config.concurrency = 1;
    PacingSchedule schedule = startPacing(config, 0, 1000);
    // On time or slightly late: the plan advances by exactly one interval.
    advancePacing(schedule, 1050);
    EXPECT_EQ(schedule.plannedStartNs, 1000 + 100'000'000);
    // A cycle longer than the interval: go on at once and plan from there.
    advancePacing(schedule, 500'000'000);
    EXPECT_EQ(schedule.plannedStartNs, 500'000'000);
    advancePacing(schedule, 500'000'001);
    EXPECT_EQ(schedule.plannedStartNs, 600'000'000);
}

TEST(Pacing, ClientsStartOneSlotApartFromTheRunsStart) {
    TestConfig config;
    config.targetQps = 3;
    config.concurrency = 1000;
    const std::int64_t runStartNs = 5 * kNsPerSec;
    EXPECT_EQ(startPacing(config, 0, runStartNs).plannedStartNs, runStartNs);
    EXPECT_EQ(startPacing(config, 1, runStartNs).plannedStartNs, runStartNs + 333'333'333);
    EXPECT_EQ(startPacing(config, 999, runStartNs).plannedStartNs, runStartNs + 333 * kNsPerSec);
    config.targetQps = 2147483647;
    config.concurrency = 2147483647;
    EXPECT_EQ(startPacing(config, 2147483646, 0).plannedStartNs, 999'999'999);
}

}  // namespace
