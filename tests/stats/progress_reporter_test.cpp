#include "stats/progress_reporter.h"

#include <chrono>
#include <sstream>
#include <thread>

#include "platform/os/clock.h"
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

TEST_F(LatencyWindowTest, EachLatencyFallsInExactlyOneWindow) {
    const LatencyTotals start = latencyTotals();
    recordLatencyNs(static_cast<std::int64_t>(3) * kNsPerMs);
    recordLatencyNs(static_cast<std::int64_t>(4) * kNsPerMs);
    const LatencyTotals first = latencyTotals();
    EXPECT_EQ(windowMeanMs(start, first), 3.5);
    EXPECT_EQ(windowMeanMs(first, latencyTotals()), 0.0);
    recordLatencyNs(static_cast<std::int64_t>(4000000000u) * kNsPerMs);
    recordLatencyNs(static_cast<std::int64_t>(4000000000u) * kNsPerMs);
    const LatencyTotals wide = latencyTotals();
    EXPECT_EQ(wide.count - first.count, 2u);
    EXPECT_EQ(wide.sumNs - first.sumNs, 8e15);  // no 32-bit wrap
    EXPECT_EQ(windowMeanMs(first, wide), 4000000000.0);
}

TEST_F(LatencyWindowTest, ReporterWritesNothingForRunTimesBelowOne) {
    for (std::int32_t durationSec : {0, -5, INT32_MIN}) {
        TestConfig config;
        config.durationSec = durationSec;
        std::ostringstream out;
        progressReporter(config, monotonicNowNs(), out);
        EXPECT_EQ(out.str(), "");
        EXPECT_TRUE(g_secondSamples.empty());
    }
}

// The line counts from the reporter's start; the series from the run
// statistics' start, so that its rows add up to the run's totals.
TEST_F(LatencyWindowTest, ReporterCountsFromItsStartAndKeepsEachLinesFigures) {
    g_completedRequests = 100;  // completed before the reporter started: not on the line
    recordError(ErrorKind::ConnectRefused);
    std::thread client([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        for (std::uint32_t latencyMs : {10u, 20u, 30u}) {
            g_completedRequests.fetch_add(1);
            recordLatencyNs(static_cast<std::int64_t>(latencyMs) * kNsPerMs);
        }
        recordError(ErrorKind::ClosedEarly);
        recordError(ErrorKind::Other, 24);
    });
    TestConfig config;
    config.durationSec = 1;
    std::ostringstream out;
    progressReporter(config, monotonicNowNs(), out);
    client.join();
    EXPECT_EQ(out.str(), "累计请求: 3, 本秒QPS: 3, 本秒平均延迟: 20 ms\n");
    ASSERT_EQ(g_secondSamples.size(), 1u);
    EXPECT_EQ(g_secondSamples[0].completed, 103u);
    EXPECT_EQ(g_secondSamples[0].meanLatencyMs, 20.0);
    EXPECT_EQ(g_secondSamples[0].errors, 3u);
    EXPECT_EQ(g_secondSamples[0].errorKinds, (ErrorKindCounts{1, 0, 0, 0, 1, 0, 0, 1}));
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
    ASSERT_EQ(g_secondSamples.size(), 1u);
    EXPECT_EQ(g_secondSamples[0].completed, 0u);
    EXPECT_EQ(g_secondSamples[0].meanLatencyMs, 0.0);
    EXPECT_EQ(g_secondSamples[0].errors, 0u);
}

// What ends after the last line, a late exchange or an error counted at the
// give-up instant, goes into one more row, printed nowhere: the rows then add
// up to the run's totals, kind by kind.
TEST_F(LatencyWindowTest, SecondSamplesMatchTheLinesWrittenAndTheTailClosesTheSeries) {
    // Activity half a second into the first line's window, none in the second.
    std::thread client([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        for (std::uint32_t latencyMs : {10u, 20u, 10u, 20u}) {
            g_completedRequests.fetch_add(1);
            recordLatencyNs(static_cast<std::int64_t>(latencyMs) * kNsPerMs);
        }
        recordError(ErrorKind::Malformed);
        recordError(ErrorKind::Malformed);
    });
    TestConfig config;
    config.durationSec = 2;
    std::ostringstream out;
    progressReporter(config, monotonicNowNs(), out);
    client.join();
    EXPECT_EQ(out.str(),
              "累计请求: 4, 本秒QPS: 4, 本秒平均延迟: 15 ms\n"
              "累计请求: 4, 本秒QPS: 0, 本秒平均延迟: 0 ms\n");
    ASSERT_EQ(g_secondSamples.size(), 2u);
    EXPECT_EQ(g_secondSamples[0].completed, 4u);
    EXPECT_EQ(g_secondSamples[0].meanLatencyMs, 15.0);
    EXPECT_EQ(g_secondSamples[0].errors, 2u);
    EXPECT_EQ(g_secondSamples[0].errorKinds[static_cast<std::size_t>(ErrorKind::Malformed)], 2u);
    EXPECT_EQ(g_secondSamples[1].completed, 0u);
    EXPECT_EQ(g_secondSamples[1].errors, 0u);

    g_completedRequests.fetch_add(1);
    recordLatencyNs(40 * kNsPerMs);
    recordError(ErrorKind::ResponseUnanswered);
    recordError(ErrorKind::TlsUnfinished);
    closeSecondSeries();
    ASSERT_EQ(g_secondSamples.size(), 3u);
    const SecondSample& tail = g_secondSamples[2];
    EXPECT_EQ(tail.completed, 1u);
    EXPECT_EQ(tail.meanLatencyMs, 40.0);
    EXPECT_EQ(tail.errors, 2u);
    EXPECT_EQ(tail.errorKinds, (ErrorKindCounts{0, 0, 0, 1, 0, 0, 1, 0}));
    std::uint64_t completed = 0;
    std::uint64_t errors = 0;
    ErrorKindCounts kinds{};
    for (const SecondSample& row : g_secondSamples) {
        completed += row.completed;
        errors += row.errors;
        for (std::size_t kind = 0; kind < kErrorKindCount; ++kind)
            kinds[kind] += row.errorKinds[kind];
    }
    EXPECT_EQ(completed, g_completedRequests.load());
    EXPECT_EQ(errors, g_totalErrors.load());
    EXPECT_EQ(kinds, errorKindCounts());
}

}  // namespace
