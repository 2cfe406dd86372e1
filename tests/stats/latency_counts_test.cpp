// The counted latencies against the rule they replace: every latency kept in
// a list, the list sorted, entry floor(n * p / 100) read from it.
#include <algorithm>
#include <random>
#include <sstream>
#include <thread>

#include "platform/os/clock.h"
#include "stats/collect_run_result.h"
#include "stats/run_summary.h"
#include "support/run_stats_reset.h"

namespace {

// The summary's latency lines as a sorted list of every latency gives them.
std::string sortedListLines(std::vector<std::uint32_t> latencies) {
    std::sort(latencies.begin(), latencies.end());
    std::uint64_t sumMs = 0;
    for (std::uint32_t latencyMs : latencies) sumMs += latencyMs;
    const double meanMs = latencies.empty()
                              ? 0.0
                              : static_cast<double>(sumMs) / static_cast<double>(latencies.size());
    auto at = [&](double percent) -> std::uint32_t {
        if (latencies.empty()) return 0;
        auto index =
            static_cast<std::uint64_t>(static_cast<double>(latencies.size()) * percent / 100.0);
        return latencies[std::min<std::uint64_t>(index, latencies.size() - 1)];
    };
    std::ostringstream out;
    out << "Mean latency:        " << meanMs << " ms\n";
    out << "  50%      " << at(50.0) << " ms\n";
    out << "  90%      " << at(90.0) << " ms\n";
    out << "  95%      " << at(95.0) << " ms\n";
    out << "  99%      " << at(99.0) << " ms\n";
    out << " 100%      " << (latencies.empty() ? 0 : latencies.back()) << " ms (longest request)\n";
    return out.str();
}

// The same lines from the run's own summary.
std::string countedLines(const RunResult& result) {
    std::ostringstream out;
    printRunSummary(result, out);
    const std::string text = out.str();
    const std::size_t meanAt = text.find("Mean latency:");
    const std::size_t rpsAt = text.find("Effective rps:");
    const std::size_t percentAt = text.find("  50%");
    return text.substr(meanAt, rpsAt - meanAt) + text.substr(percentAt);
}

// Records the latencies from several threads at once, as a run's workers do.
void recordFromThreads(const std::vector<std::uint32_t>& latencies, std::size_t threadCount) {
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < threadCount; ++t) {
        threads.emplace_back([&latencies, t, threadCount] {
            for (std::size_t i = t; i < latencies.size(); i += threadCount) {
                recordLatencyNs(static_cast<std::int64_t>(latencies[i]) * kNsPerMs);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
}

std::vector<std::uint32_t> randomLatencies(std::mt19937& random, std::size_t count,
                                           std::uint32_t maxMs) {
    std::uniform_int_distribution<std::uint32_t> pick(0, maxMs);
    std::vector<std::uint32_t> latencies(count);
    for (std::uint32_t& latencyMs : latencies) latencyMs = pick(random);
    return latencies;
}

// Mostly fast, with a long tail that reaches past the counted pages.
std::vector<std::uint32_t> tailedLatencies(std::mt19937& random, std::size_t count) {
    std::exponential_distribution<double> tail(1.0 / 40.0);
    std::vector<std::uint32_t> latencies(count);
    for (std::uint32_t& latencyMs : latencies) {
        latencyMs = static_cast<std::uint32_t>(std::min(tail(random), 4e9));
    }
    for (std::size_t i = 0; i < count; i += 97) latencies[i] = 65536 + random() % 200000;
    return latencies;
}

using Pairs = std::vector<std::pair<std::uint32_t, std::uint64_t>>;

Pairs pairsOf(const std::vector<LatencyBucket>& buckets) {
    Pairs pairs;
    for (const LatencyBucket& bucket : buckets) pairs.emplace_back(bucket.latencyMs, bucket.count);
    return pairs;
}

struct LatencySet {
    const char* name;                      // what the set stands for
    std::vector<std::uint32_t> latencies;  // every latency of the run, in arrival order
};

std::vector<LatencySet> latencySets() {
    std::mt19937 random(12);
    std::vector<std::uint32_t> tenToOne(10);
    for (std::uint32_t i = 0; i < 10; ++i) tenToOne[i] = 10 - i;
    return {
        {"empty", {}},
        {"one entry", {42}},
        {"one zero", {0}},
        {"all equal", std::vector<std::uint32_t>(1000, 7)},
        {"all zero", std::vector<std::uint32_t>(777, 0)},
        {"ten descending", tenToOne},
        {"two", {9, 5}},
        {"page edges", {255, 256, 257, 511, 512, 0, 65535}},
        {"beyond the pages only", {65536, 65537, 100000, 4294967295u, 4294967295u}},
        {"straddling the pages", {65535, 65536, 65535, 65536, 3, 4294967295u}},
        {"largest latencies", std::vector<std::uint32_t>(50, 4294967295u)},
        {"random narrow", randomLatencies(random, 100000, 20)},
        {"random wide", randomLatencies(random, 100000, 200000)},
        {"random full range", randomLatencies(random, 20000, 4294967295u)},
        {"long tail", tailedLatencies(random, 300000)},
    };
}

using LatencyCounts = RunStatsTest;

TEST_F(LatencyCounts, SummaryEqualsTheSortedListRule) {
    for (const LatencySet& set : latencySets()) {
        resetRunStats();
        recordFromThreads(set.latencies, 4);
        TestConfig config;
        config.durationSec = 10;
        const RunResult result = collectRunResult(config);
        EXPECT_EQ(countedLines(result), sortedListLines(set.latencies)) << set.name;
        const LatencyTotals totals = latencyTotals();
        EXPECT_EQ(totals.count, set.latencies.size()) << set.name;
        std::uint64_t sumMs = 0;
        for (std::uint32_t latencyMs : set.latencies) sumMs += latencyMs;
        EXPECT_DOUBLE_EQ(totals.sumNs, static_cast<double>(sumMs) * 1e6) << set.name;
        EXPECT_TRUE(std::is_sorted(result.latencyCounts.begin(), result.latencyCounts.end(),
                                   [](const LatencyBucket& a, const LatencyBucket& b) {
                                       return a.latencyMs <= b.latencyMs;
                                   }))
            << set.name << ": buckets ascending, each latency once";
    }
}

TEST_F(LatencyCounts, EveryPercentageAgreesOnRandomSets) {
    std::mt19937 random(34);
    for (int round = 0; round < 40; ++round) {
        resetRunStats();
        const std::size_t count = 1 + random() % 3000;
        std::vector<std::uint32_t> latencies = randomLatencies(random, count, 1 + random() % 70000);
        recordFromThreads(latencies, 1 + round % 3);
        const std::vector<LatencyBucket> buckets = latencyCounts();
        std::sort(latencies.begin(), latencies.end());
        for (double percent = 0.0; percent <= 100.0; percent += 0.5) {
            auto index = static_cast<std::uint64_t>(static_cast<double>(count) * percent / 100.0);
            index = std::min<std::uint64_t>(index, count - 1);
            ASSERT_EQ(latencyPercentileMs(buckets, percent), latencies[index])
                << "round " << round << ", " << percent << "%";
        }
    }
}

TEST_F(LatencyCounts, ReadersNeverSeeHalfARecord) {
    constexpr std::uint32_t kLatencyMs = 7;
    std::atomic<bool> done{false};
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t) {
        writers.emplace_back([&] {
            for (int i = 0; i < 300000; ++i)
                recordLatencyNs(static_cast<std::int64_t>(kLatencyMs) * kNsPerMs);
        });
    }
    std::thread reader([&] {
        std::uint64_t lastCount = 0;
        while (!done.load()) {
            const LatencyTotals totals = latencyTotals();
            ASSERT_EQ(totals.sumNs, static_cast<double>(totals.count * kLatencyMs * 1000000u));
            ASSERT_GE(totals.count, lastCount);
            lastCount = totals.count;
        }
    });
    for (std::thread& writer : writers) writer.join();
    done = true;
    reader.join();
    EXPECT_EQ(latencyTotals().count, 900000u);
    EXPECT_EQ(pairsOf(latencyCounts()), (Pairs{{kLatencyMs, 900000}}));
}

TEST_F(LatencyCounts, ResultCarriesTheRunsSettingsAndFigures) {
    struct Case {
        std::int32_t concurrency;             // -c
        std::int32_t agentIndex, agentCount;  // --agent K/N, 0/0 without
        std::int64_t shownConcurrency;        // the "Concurrent clients:" value
        const char* agent;                    // the "Agent:" value
    };
    const Case cases[] = {
        {30, 0, 0, 30, "none"},
        {-5, 0, 0, -5, "none"},
        {10, 2, 3, 3, "2/3"},
        {2, 3, 3, 0, "3/3"},
    };
    for (const Case& c : cases) {
        TestConfig config;
        config.url = "http://127.0.0.1:8080/x";
        config.durationSec = 3;
        config.concurrency = c.concurrency;
        config.targetQps = 500;
        config.agentIndex = c.agentIndex;
        config.agentCount = c.agentCount;
        const RunResult result = collectRunResult(config);
        EXPECT_EQ(result.concurrency, c.shownConcurrency) << c.concurrency;
        EXPECT_EQ(result.agentText, c.agent);
        EXPECT_EQ(result.url, config.url);
        EXPECT_EQ(result.durationSec, 3);
        EXPECT_EQ(result.targetQps, 500);
        EXPECT_EQ(result.processorCount, logicalProcessorCount());
    }

    markRunStart();
    g_completedRequests = 4;
    // Errors from several threads; one thread meets more distinct OS codes
    // than its shard keeps, and the last ones count as none known (0).
    std::thread([] {
        recordError(ErrorKind::Other, 24);
        recordError(ErrorKind::ConnectRefused);
    }).join();
    recordError(ErrorKind::Other, 24);
    std::thread([] {
        for (int code = 1; code <= 9; ++code) recordError(ErrorKind::Other, code);
    }).join();
    recordFromThreads({3, 3, 9, 70000}, 2);
    for (int statusCode : {200, 204, 302, 404, 500, 503, 700}) recordStatusCode(statusCode);
    g_secondSamples = {{3, 5.0, 1}, {1, 70000.0, 1}};
    markRunEnd();
    const RunResult result = collectRunResult(TestConfig{});
    EXPECT_EQ(result.completed, 4u);
    EXPECT_EQ(result.errors, 12u);
    EXPECT_TRUE(result.hasErrorKinds);
    EXPECT_EQ(result.errorKinds, (ErrorKindCounts{1, 0, 0, 0, 0, 0, 0, 11}));
    std::vector<std::pair<std::int64_t, std::uint64_t>> codes;
    for (const OsErrorCount& code : result.otherErrorCodes)
        codes.emplace_back(code.code, code.count);
    EXPECT_EQ(codes, (std::vector<std::pair<std::int64_t, std::uint64_t>>{
                         {0, 2}, {1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}, {6, 1}, {7, 1}, {24, 2}}));
    EXPECT_EQ(pairsOf(result.latencyCounts), (Pairs{{3, 2}, {9, 1}, {70000, 1}}));
    EXPECT_EQ(result.statusClasses.status2xx, 2u);
    EXPECT_EQ(result.statusClasses.status3xx, 1u);
    EXPECT_EQ(result.statusClasses.status4xx, 1u);
    EXPECT_EQ(result.statusClasses.status5xx, 2u);
    EXPECT_EQ(result.statusClasses.other, 1u);
    ASSERT_EQ(result.seconds.size(), 2u);
    EXPECT_EQ(result.seconds[1].meanLatencyMs, 70000.0);
    EXPECT_GT(result.startUnixNs, 1'600'000'000'000'000'000);  // a real wall-clock reading
    EXPECT_GE(result.endUnixNs, result.startUnixNs);
}

}  // namespace
