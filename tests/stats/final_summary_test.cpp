#include "stats/final_summary.h"

#include <cmath>
#include <numeric>
#include <sstream>

#include "support/run_stats_reset.h"

namespace {

std::vector<std::uint32_t> oneTo(std::uint32_t last) {
    std::vector<std::uint32_t> values(last);
    std::iota(values.begin(), values.end(), 1u);
    return values;
}

TEST(LatencyPercentile, TakesTheEntryAtTheTruncatedPosition) {
    struct Case {
        std::uint32_t count;               // entries 1..count, in reverse order
        std::uint32_t p50, p90, p95, p99;  // expected values (index + 1)
    };
    const Case cases[] = {
        {1, 1, 1, 1, 1},     {2, 2, 2, 2, 2},        {7, 4, 7, 7, 7},
        {10, 6, 10, 10, 10}, {100, 51, 91, 96, 100}, {1000, 501, 901, 951, 991},
    };
    for (const Case& c : cases) {
        std::vector<std::uint32_t> list = oneTo(c.count);
        std::reverse(list.begin(), list.end());
        EXPECT_EQ(latencyPercentile(list, 50.0), c.p50) << c.count;
        EXPECT_EQ(latencyPercentile(list, 90.0), c.p90) << c.count;
        EXPECT_EQ(latencyPercentile(list, 95.0), c.p95) << c.count;
        EXPECT_EQ(latencyPercentile(list, 99.0), c.p99) << c.count;
        EXPECT_TRUE(std::is_sorted(list.begin(), list.end()));
    }
    std::vector<std::uint32_t> empty;
    EXPECT_EQ(latencyPercentile(empty, 50.0), 0u);
    std::vector<std::uint32_t> three = {5, 1, 9};
    EXPECT_EQ(latencyPercentile(three, 100.0), 9u);
}

using FinalSummary = RunStatsTest;

std::string summaryFor(std::int32_t durationSec, std::int32_t concurrency) {
    TestConfig config;
    config.url = "http://127.0.0.1:3000";
    config.durationSec = durationSec;
    config.concurrency = concurrency;
    std::ostringstream out;
    printFinalSummary(config, out);
    return out.str();
}

std::string cores() {
    SYSTEM_INFO info{};
    GetNativeSystemInfo(&info);
    return std::to_string(info.dwNumberOfProcessors);
}

TEST_F(FinalSummary, WritesSixteenLinesInTheirColumns) {
    g_latenciesMs = oneTo(10);
    g_completedRequests = 15000;
    g_totalErrors = 3;
    EXPECT_EQ(summaryFor(10, 30),
              "\nTarget URL:          http://127.0.0.1:3000\n"
              "Max time (s):        10\n"
              "Concurrent clients:  30\n"
              "Running on cores:    " +
                  cores() +
                  "\n"
                  "Agent:               none\n"
                  "\nCompleted requests:  15000\n"
                  "Total errors:        3\n"
                  "Total time:          10 s\n"
                  "Mean latency:        5.5 ms\n"
                  "Effective rps:       1500\n"
                  "\nPercentage of requests served within a certain time\n"
                  "  50%      6 ms\n"
                  "  90%      10 ms\n"
                  "  95%      10 ms\n"
                  "  99%      10 ms\n"
                  " 100%      10 ms (longest request)\n");
    EXPECT_TRUE(std::is_sorted(g_latenciesMs.begin(), g_latenciesMs.end()));
}

std::string lineStarting(const std::string& text, const std::string& label) {
    const std::size_t at = text.find(label);
    if (at == std::string::npos) return "";
    return text.substr(at, text.find('\n', at) - at);
}

TEST_F(FinalSummary, FormatsNumbersInTheDefaultWay) {
    struct Case {
        std::int32_t durationSec;              // configured run time
        std::uint64_t completed;               // completed requests
        std::vector<std::uint32_t> latencies;  // latency list
        const char* timeLine;                  // expected "Total time" line
        const char* meanLine;                  // expected "Mean latency" line
        const char* rpsLine;                   // expected "Effective rps" line
    };
    const Case cases[] = {
        {3,
         10,
         {5, 9},
         "Total time:          3 s",
         "Mean latency:        7 ms",
         "Effective rps:       3.33333"},
        {1,
         1234567,
         {42},
         "Total time:          1 s",
         "Mean latency:        42 ms",
         "Effective rps:       1.23457e+06"},
        {1000000,
         0,
         {},
         "Total time:          1e+06 s",
         "Mean latency:        0 ms",
         "Effective rps:       0"},
        {-5,
         0,
         {},
         "Total time:          -5 s",
         "Mean latency:        0 ms",
         "Effective rps:       -0"},
        {10,
         3,
         {19, 20, 20},
         "Total time:          10 s",
         "Mean latency:        19.6667 ms",
         "Effective rps:       0.3"},
    };
    for (const Case& c : cases) {
        g_latenciesMs = c.latencies;
        g_completedRequests = c.completed;
        const std::string text = summaryFor(c.durationSec, 1);
        EXPECT_EQ(lineStarting(text, "Total time"), c.timeLine);
        EXPECT_EQ(lineStarting(text, "Mean latency"), c.meanLine);
        EXPECT_EQ(lineStarting(text, "Effective rps"), c.rpsLine);
        EXPECT_EQ(lineStarting(text, "Max time"),
                  "Max time (s):        " + std::to_string(c.durationSec));
    }
}

TEST_F(FinalSummary, ZeroRunTimeGivesNotANumberRateAndZeroLatencies) {
    const std::string text = summaryFor(0, 30);
    const std::string rps = lineStarting(text, "Effective rps");
    EXPECT_TRUE(rps == "Effective rps:       nan" || rps == "Effective rps:       -nan") << rps;
    EXPECT_EQ(lineStarting(text, "Total time"), "Total time:          0 s");
    EXPECT_EQ(lineStarting(text, "  50%"), "  50%      0 ms");
    EXPECT_EQ(lineStarting(text, " 100%"), " 100%      0 ms (longest request)");
}

}  // namespace
