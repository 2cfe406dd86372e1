#include "stats/run_summary.h"

#include <cmath>
#include <sstream>

#include <gtest/gtest.h>

#include "stats/collect_run_result.h"

namespace {

// Buckets 1..last, one request each.
std::vector<LatencyBucket> oneTo(std::uint32_t last) {
    std::vector<LatencyBucket> buckets;
    for (std::uint32_t latencyMs = 1; latencyMs <= last; ++latencyMs) {
        buckets.push_back({latencyMs, 1});
    }
    return buckets;
}

TEST(LatencyPercentile, TakesTheEntryAtTheTruncatedPosition) {
    struct Case {
        std::uint32_t count;               // entries 1..count
        std::uint32_t p50, p90, p95, p99;  // expected values (index + 1)
    };
    const Case cases[] = {
        {1, 1, 1, 1, 1},     {2, 2, 2, 2, 2},        {7, 4, 7, 7, 7},
        {10, 6, 10, 10, 10}, {100, 51, 91, 96, 100}, {1000, 501, 901, 951, 991},
    };
    for (const Case& c : cases) {
        const std::vector<LatencyBucket> buckets = oneTo(c.count);
        EXPECT_EQ(latencyPercentileMs(buckets, 50.0), c.p50) << c.count;
        EXPECT_EQ(latencyPercentileMs(buckets, 90.0), c.p90) << c.count;
        EXPECT_EQ(latencyPercentileMs(buckets, 95.0), c.p95) << c.count;
        EXPECT_EQ(latencyPercentileMs(buckets, 99.0), c.p99) << c.count;
    }
    EXPECT_EQ(latencyPercentileMs({}, 50.0), 0u);
    EXPECT_EQ(latencyPercentileMs({{1, 1}, {5, 1}, {9, 1}}, 100.0), 9u);
}

RunResult resultFor(std::int32_t durationSec, std::int64_t concurrency) {
    RunResult result;
    result.url = "http://127.0.0.1:3000";
    result.durationSec = durationSec;
    result.concurrency = concurrency;
    result.processorCount = logicalProcessorCount();
    return result;
}

std::string summaryOf(const RunResult& result) {
    std::ostringstream out;
    printRunSummary(result, out);
    return out.str();
}

std::string expectedTenRequestSummary(const std::string& afterErrors) {
    return "\nTarget URL:          http://127.0.0.1:3000\n"
           "Max time (s):        10\n"
           "Concurrent clients:  30\n"
           "Running on cores:    " +
           std::to_string(logicalProcessorCount()) +
           "\n"
           "Agent:               none\n"
           "\nCompleted requests:  15000\n"
           "Total errors:        3\n" +
           afterErrors +
           "Total time:          10 s\n"
           "Mean latency:        5.5 ms\n"
           "Effective rps:       1500\n"
           "\nPercentage of requests served within a certain time\n"
           "  50%      6 ms\n"
           "  90%      10 ms\n"
           "  95%      10 ms\n"
           "  99%      10 ms\n"
           " 100%      10 ms (longest request)\n";
}

TEST(RunSummary, WritesSixteenLinesInTheirColumns) {
    RunResult result = resultFor(10, 30);
    result.latencyCounts = oneTo(10);
    result.completed = 15000;
    result.errors = 3;
    result.statusClasses.status2xx = 14000;
    result.statusClasses.status3xx = 1000;  // redirects are successful answers
    EXPECT_EQ(summaryOf(result), expectedTenRequestSummary(""));
}

TEST(RunSummary, CountsAnswersNeitherTwoNorThreeHundredOnOneMoreLine) {
    RunResult result = resultFor(10, 30);
    result.latencyCounts = oneTo(10);
    result.completed = 15000;
    result.errors = 3;
    result.statusClasses = {14990, 0, 4, 5, 1};
    EXPECT_EQ(summaryOf(result), expectedTenRequestSummary("Non-2xx or 3xx responses: 10\n"));
}

// The kinds follow the non-2xx line, in their fixed order, only those with
// errors; a run without errors, or read from a file without kinds, prints
// the summary as before.
TEST(RunSummary, NamesTheKindsOfTheErrorsOnOneLineAfterTheTotals) {
    struct Case {
        bool hasKinds;                    // the kinds are known
        ErrorKindCounts kinds;            // errors by kind; they sum to 3
        std::vector<OsErrorCount> codes;  // kind Other by OS code
        std::uint64_t unsuccessful;       // 5xx answers
        const char* afterErrors;          // expected lines after "Total errors:"
    };
    const Case cases[] = {
        {true, {0, 0, 0, 3, 0, 0, 0, 0}, {}, 0, "Errors by kind:      TLS unfinished 3\n"},
        {true,
         {1, 0, 0, 0, 0, 1, 1, 0},
         {},
         2,
         "Non-2xx or 3xx responses: 2\n"
         "Errors by kind:      connect refused 1, malformed 1, response unanswered 1\n"},
        {true,
         {0, 1, 0, 0, 0, 0, 0, 2},
         {{0, 1}, {99, 1}},
         0,
         "Errors by kind:      connect unanswered 1, other 2 (OS error 99 x1)\n"},
        {true,
         {0, 0, 1, 0, 1, 0, 0, 1},
         {{24, 1}},
         0,
         "Errors by kind:      TLS failed 1, closed early 1, other 1 (OS error 24 x1)\n"},
        {false, {}, {}, 0, ""},
    };
    for (const Case& c : cases) {
        RunResult result = resultFor(10, 30);
        result.latencyCounts = oneTo(10);
        result.completed = 15000;
        result.errors = 3;
        result.statusClasses = {15000 - c.unsuccessful, 0, 0, c.unsuccessful, 0};
        result.hasErrorKinds = c.hasKinds;
        result.errorKinds = c.kinds;
        result.otherErrorCodes = c.codes;
        EXPECT_EQ(summaryOf(result), expectedTenRequestSummary(c.afterErrors)) << c.afterErrors;
    }
    RunResult clean = resultFor(10, 30);
    clean.latencyCounts = oneTo(10);
    clean.completed = 15000;
    clean.statusClasses.status2xx = 15000;
    clean.hasErrorKinds = true;
    EXPECT_EQ(summaryOf(clean).find("Errors by kind"), std::string::npos);
}

std::string lineStarting(const std::string& text, const std::string& label) {
    const std::size_t at = text.find(label);
    if (at == std::string::npos) return "";
    return text.substr(at, text.find('\n', at) - at);
}

TEST(RunSummary, FormatsNumbersInTheDefaultWay) {
    struct Case {
        std::int32_t durationSec;                  // configured run time
        std::uint64_t completed;                   // completed requests
        std::vector<LatencyBucket> latencyCounts;  // latencies counted
        const char* timeLine;                      // expected "Total time" line
        const char* meanLine;                      // expected "Mean latency" line
        const char* rpsLine;                       // expected "Effective rps" line
    };
    const Case cases[] = {
        {3,
         10,
         {{5, 1}, {9, 1}},
         "Total time:          3 s",
         "Mean latency:        7 ms",
         "Effective rps:       3.33333"},
        {1,
         1234567,
         {{42, 1}},
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
         {{19, 1}, {20, 2}},
         "Total time:          10 s",
         "Mean latency:        19.6667 ms",
         "Effective rps:       0.3"},
    };
    for (const Case& c : cases) {
        RunResult result = resultFor(c.durationSec, 1);
        result.latencyCounts = c.latencyCounts;
        result.completed = c.completed;
        const std::string text = summaryOf(result);
        EXPECT_EQ(lineStarting(text, "Total time"), c.timeLine);
        EXPECT_EQ(lineStarting(text, "Mean latency"), c.meanLine);
        EXPECT_EQ(lineStarting(text, "Effective rps"), c.rpsLine);
        EXPECT_EQ(lineStarting(text, "Max time"),
                  "Max time (s):        " + std::to_string(c.durationSec));
    }
}

TEST(RunSummary, ZeroRunTimeGivesNotANumberRateAndZeroLatencies) {
    const std::string text = summaryOf(resultFor(0, 30));
    const std::string rps = lineStarting(text, "Effective rps");
    EXPECT_TRUE(rps == "Effective rps:       nan" || rps == "Effective rps:       -nan") << rps;
    EXPECT_EQ(lineStarting(text, "Total time"), "Total time:          0 s");
    EXPECT_EQ(lineStarting(text, "  50%"), "  50%      0 ms");
    EXPECT_EQ(lineStarting(text, " 100%"), " 100%      0 ms (longest request)");
}

}  // namespace
