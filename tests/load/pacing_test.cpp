#include "load/pacing.h"
#include "load/run_window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/os/clock.h"
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
                advancePacing(schedule, 0, deadlineNs);
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

// With a plan the run's starts, over all clients and however many agents
// share them, are the plan's own, each once; a flat plan's are those of -q.
TEST(Pacing, APlansStartsAreSharedOutWholeOverClientsAndAgents) {
    struct Case {
        const char* plan;
        std::int32_t concurrency;
    };
    const Case cases[] = {
        {"5s:200,10s:200-2000,5s:2000", 50},
        {"3s:7-1,2s:0,4s:1-999,1s:13", 7},
        {"4s:3", 10},  // fewer starts than clients
        {"1s:0,2s:40-0", 4},
    };
    for (const Case& c : cases) {
        TestConfig config;
        std::string problem;
        ASSERT_TRUE(parseRatePlan(c.plan, config.ratePlan, problem)) << problem;
        config.concurrency = c.concurrency;
        config.durationSec = static_cast<std::int32_t>(planLengthSec(config.ratePlan));
        std::vector<std::int64_t> expectedNs;
        for (std::int64_t k = 0; plannedStartOffsetNs(config.ratePlan, k) >= 0; ++k) {
            expectedNs.push_back(plannedStartOffsetNs(config.ratePlan, k));
        }
        for (std::int32_t agentCount : {0, 3}) {
            EXPECT_EQ(plannedStartsOfRun(config, agentCount), expectedNs)
                << c.plan << " " << agentCount;
        }
    }
    TestConfig paced;
    paced.targetQps = 7;
    paced.concurrency = 3;
    paced.durationSec = 3;
    TestConfig planned = paced;
    planned.targetQps = 0;
    planned.ratePlan = ratePlanOf({{3, 7, 7}});
    EXPECT_EQ(plannedStartsOfRun(planned, 0), plannedStartsOfRun(paced, 0));
}

// A late client on a ramp sends for the latest start past and skips the
// others, each at its own instant: the plan's starts are not evenly spaced.
TEST(Pacing, ALateClientOnARampSkipsEachStartAtItsOwnInstant) {
    TestConfig config;
    config.concurrency = 1;
    config.ratePlan = ratePlanOf({{10, 0, 100}});  // the k-th start at sqrt(k / 5) s
    PacingSchedule schedule = startPacing(config, 0, kNsPerSec);
    EXPECT_EQ(schedule.plannedStartNs, kNsPerSec);
    const PacingStep step = advancePacing(schedule, 4 * kNsPerSec, 11 * kNsPerSec);
    EXPECT_EQ(schedule.plannedStartNs, 4 * kNsPerSec);  // start 45, at 3 s into the plan
    ASSERT_EQ(step.skippedStarts, 44);
    EXPECT_EQ(skippedStartNs(schedule, step, 0), kNsPerSec + 447'213'595);
    EXPECT_EQ(skippedStartNs(schedule, step, 19), 3 * kNsPerSec);  // start 20, at 2 s
    // Past the plan's last start no start is left.
    while (schedule.plannedStartNs != INT64_MAX) advancePacing(schedule, 0, 11 * kNsPerSec);
    EXPECT_EQ(schedule.startIndex, 500);
}

TEST(Pacing, ALateClientSendsAtOnceForTheLatestPastStartAndSkipsTheRest) {
    TestConfig config;
    config.targetQps = 10;
    config.concurrency = 1;
    constexpr std::int64_t kStartNs = 1000;
    constexpr std::int64_t kIntervalNs = 100'000'000;
    struct Case {
        const char* name;
        std::int64_t nowNs, deadlineNs;  // when the exchange of the first start ended
        std::int64_t nextNs, skipped, firstSkippedNs;
    };
    const Case cases[] = {
        {"on time", 1050, kNsPerSec, kStartNs + kIntervalNs, 0, 0},
        {"late by less than an interval", kStartNs + kIntervalNs + 5, kNsPerSec,
         kStartNs + kIntervalNs, 0, 0},
        {"a stall of four intervals", 450'000'000, kNsPerSec, kStartNs + 4 * kIntervalNs, 3,
         kStartNs + kIntervalNs},
        {"exactly on a later start", kStartNs + 3 * kIntervalNs, kNsPerSec,
         kStartNs + 3 * kIntervalNs, 2, kStartNs + kIntervalNs},
        {"no start skipped at the deadline", 450'000'000, 250'000'000, kStartNs + 3 * kIntervalNs,
         2, kStartNs + kIntervalNs},
    };
    for (const Case& c : cases) {
        PacingSchedule schedule = startPacing(config, 0, kStartNs);
        const PacingStep step = advancePacing(schedule, c.nowNs, c.deadlineNs);
        EXPECT_EQ(schedule.plannedStartNs, c.nextNs) << c.name;
        EXPECT_EQ(step.skippedStarts, c.skipped) << c.name;
        if (c.skipped > 0) {
            EXPECT_EQ(step.firstSkippedNs, c.firstSkippedNs) << c.name;
        }
    }
}

TEST(Pacing, AfterAStallEveryClientKeepsItsOwnPhase) {
    // 50 clients at 500 a second: one start every 2 ms over all of them. A
    // stall holds every client's answer until 3 s, then the answers arrive
    // within a few ms of each other, in any order.
    TestConfig config;
    config.targetQps = 500;
    config.concurrency = 50;
    const std::int64_t intervalNs = pacingIntervalNs(config);
    const std::int64_t deadlineNs = 6 * kNsPerSec;
    std::vector<std::int64_t> nextStartsNs;
    for (std::int32_t client = 0; client < config.concurrency; ++client) {
        PacingSchedule schedule = startPacing(config, client, 0);
        while (schedule.plannedStartNs < 2 * kNsPerSec) advancePacing(schedule, 0, deadlineNs);
        const std::int64_t answerNs = 3 * kNsPerSec + (client * 7919) % 5 * kNsPerMs;
        const PacingStep step = advancePacing(schedule, answerNs, deadlineNs);
        EXPECT_GT(step.skippedStarts, 0) << client;
        // The late send at once, then the next start is ahead on the grid.
        advancePacing(schedule, answerNs + kNsPerMs, deadlineNs);
        EXPECT_GT(schedule.plannedStartNs, answerNs) << client;
        EXPECT_EQ(schedule.plannedStartNs % intervalNs, client * 2 * kNsPerMs) << client;
        nextStartsNs.push_back(schedule.plannedStartNs);
    }
    // No two clients start together: within any 10 ms there are at most 6.
    std::sort(nextStartsNs.begin(), nextStartsNs.end());
    for (std::size_t i = 6; i < nextStartsNs.size(); ++i) {
        EXPECT_GE(nextStartsNs[i] - nextStartsNs[i - 6], 10 * kNsPerMs) << "phases merged at " << i;
    }
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

// With --connect-rate, client i opens at start + i/rate; a paced client whose
// connection opens late sends first for the latest planned start already
// past, and the starts before it are skipped, as for any late client.
TEST(Pacing, AClientThatConnectsLateSkipsTheStartsBeforeItsConnection) {
    TestConfig config;
    config.targetQps = 40;  // client 3 of 4: starts at 75 ms + k * 100 ms
    config.concurrency = 4;
    config.durationSec = 3;
    constexpr std::int64_t kMs = kNsPerMs;
    struct Case {
        std::int32_t connectRate, globalIndex;  // the opening schedule and the client
        std::int64_t openNs;                    // its first connect's instant
        std::int64_t firstStartNs, skipped;     // its first send's planned start, starts skipped
    };
    const Case cases[] = {
        {0, 3, 0, 75 * kMs, 0},           // all at once: nothing skipped
        {100, 3, 30 * kMs, 75 * kMs, 0},  // open before its first start
        {2, 3, 1500 * kMs, 1475 * kMs, 14},
        {3, 2, 666'666'666, 650 * kMs, 6},  // client 2: starts at 50 ms + k * 100 ms
    };
    for (const Case& c : cases) {
        config.connectRate = c.connectRate;
        const RunWindow window = runWindowFrom(config, 0);
        const std::int64_t openNs = firstConnectNs(config, window, c.globalIndex);
        EXPECT_EQ(openNs, c.openNs) << c.connectRate;
        PacingSchedule schedule = startPacing(config, c.globalIndex, 0);
        const PacingStep step = catchUpPacing(schedule, openNs, window.deadlineNs);
        EXPECT_EQ(schedule.plannedStartNs, c.firstStartNs) << c.connectRate;
        EXPECT_EQ(step.skippedStarts, c.skipped) << c.connectRate;
    }
}
