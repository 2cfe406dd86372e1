#include "stats/progress_reporter.h"

#include <sstream>

#include "common/clock.h"
#include "support/run_stats_reset.h"

namespace {

TEST(ProgressLine, FormatsCountsAndTheWindowMean) {
    struct Case {
        double meanMs;      // window mean
        const char* shown;  // how it is written
    };
    const Case cases[] = {
        {19.68421, "19.6842"}, {12.5, "12.5"}, {7, "7"}, {1234567.0, "1.23457e+06"}, {0, "0"}};
    for (const Case& c : cases) {
        EXPECT_EQ(formatProgressLine(523, 498, c.meanMs),
                  std::string("累计请求: 523, 本秒QPS: 498, 本秒平均延迟: ") + c.shown + " ms");
    }
}

using LatencyWindowTest = RunStatsTest;

TEST_F(LatencyWindowTest, SumsEachEntryExactlyOnce) {
    g_latenciesMs = {3, 4};
    LatencyWindow first = takeLatencyWindow();
    EXPECT_EQ(first.entryCount, 2u);
    EXPECT_EQ(first.sumMs, 7u);
    LatencyWindow empty = takeLatencyWindow();
    EXPECT_EQ(empty.entryCount, 0u);
    EXPECT_EQ(empty.sumMs, 0u);
    g_latenciesMs.push_back(4000000000u);
    g_latenciesMs.push_back(4000000000u);
    LatencyWindow wide = takeLatencyWindow();
    EXPECT_EQ(wide.entryCount, 2u);
    EXPECT_EQ(wide.sumMs, 8000000000u);
    EXPECT_EQ(g_lastReportedIndex, 4u);
}

TEST_F(LatencyWindowTest, ReporterWritesNothingForRunTimesBelowOne) {
    for (std::int32_t durationSec : {0, -5, INT32_MIN}) {
        TestConfig config;
        config.durationSec = durationSec;
        std::ostringstream out;
        progressReporter(config, monotonicNowNs(), out);
        EXPECT_EQ(out.str(), "");
    }
}

TEST_F(LatencyWindowTest, ReporterCountsFromItsStart) {
    g_completedRequests = 100;  // completed before the reporter started: left out
    TestConfig config;
    config.durationSec = 1;
    std::ostringstream out;
    progressReporter(config, monotonicNowNs(), out);
    EXPECT_EQ(out.str(), "累计请求: 0, 本秒QPS: 0, 本秒平均延迟: 0 ms\n");
}

TEST_F(LatencyWindowTest, ReporterCountsItsSecondsFromTheRunsStartNotItsOwn) {
    TestConfig config;
    config.durationSec = 1;
    std::ostringstream out;
    // A run that starts at a set instant: the reporter is up before it.
    const std::int64_t runStartNs = monotonicNowNs() + 300 * kNsPerMs;
    progressReporter(config, runStartNs, out);
    EXPECT_GE(monotonicNowNs(), runStartNs + kNsPerSec);
    EXPECT_EQ(out.str(), "累计请求: 0, 本秒QPS: 0, 本秒平均延迟: 0 ms\n");
}

}  // namespace
