#include "load/run_window.h"

#include <gtest/gtest.h>

#include "common/clock.h"

namespace {

TEST(RunWindow, EveryDeadlineCountsFromTheRunsStart) {
    struct Case {
        std::int32_t durationSec;
        std::int64_t deadlineNs, connectGiveUpNs, exchangeGiveUpNs;  // from a start at 1 s
    };
    const Case cases[] = {
        // A connect pending at the deadline is abandoned; an exchange gets the grace.
        {3, 4 * kNsPerSec, 4 * kNsPerSec, 6 * kNsPerSec},
        {1, 2 * kNsPerSec, 2 * kNsPerSec, 4 * kNsPerSec},
        // No run time: each client still gets its one connect, with the grace.
        {0, 1 * kNsPerSec, 3 * kNsPerSec, 3 * kNsPerSec},
        {-5, -4 * kNsPerSec, 3 * kNsPerSec, 3 * kNsPerSec},
        {INT32_MAX, kNsPerSec + INT32_MAX * kNsPerSec, kNsPerSec + INT32_MAX * kNsPerSec,
         3 * kNsPerSec + INT32_MAX * kNsPerSec},
    };
    for (const Case& c : cases) {
        TestConfig config;
        config.durationSec = c.durationSec;
        const RunWindow window = runWindowFrom(config, kNsPerSec);
        EXPECT_EQ(window.startNs, kNsPerSec);
        EXPECT_EQ(window.deadlineNs, c.deadlineNs) << c.durationSec;
        EXPECT_EQ(window.connectGiveUpNs, c.connectGiveUpNs) << c.durationSec;
        EXPECT_EQ(window.exchangeGiveUpNs, c.exchangeGiveUpNs) << c.durationSec;
    }
}

TEST(RunWindow, AWallClockStartIsTheSameDistanceAheadOnTheMonotonicClock) {
    const std::int64_t wallNowNs = 1'765'000'000 * kNsPerSec;
    EXPECT_EQ(monotonicInstantOfNs(wallNowNs + 2500 * kNsPerMs, 40 * kNsPerSec, wallNowNs),
              42'500 * kNsPerMs);
    EXPECT_EQ(monotonicInstantOfNs(wallNowNs + 86'400 * kNsPerSec, 7, wallNowNs),
              86'400 * kNsPerSec + 7);
    // An instant that has passed by the end of set-up lies behind: the run's
    // window still counts from it, so agents keep one schedule.
    EXPECT_EQ(monotonicInstantOfNs(wallNowNs - kNsPerSec, 40 * kNsPerSec, wallNowNs),
              39 * kNsPerSec);
}

}  // namespace
