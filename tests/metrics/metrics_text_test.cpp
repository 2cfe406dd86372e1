#include "metrics/metrics_text.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "stats/fine_counts.h"

namespace {

// The fine counts a run that recorded these latencies would report.
std::vector<FineBucket> fineCountsOf(const std::vector<std::int64_t>& latenciesNs) {
    FineCounts counts;
    for (const std::int64_t latencyNs : latenciesNs) addFine(counts, latencyNs);
    std::vector<std::uint64_t> sums;
    sumFine(counts, sums);
    return sparseFine(sums);
}

// The index of the bucket a lone latency lands in: the first bound it
// counts toward (the bounds' count for +Inf).
std::size_t bucketOf(std::int64_t latencyNs) {
    const std::vector<std::uint64_t> cumulative = cumulativeBuckets(fineCountsOf({latencyNs}));
    std::size_t index = 0;
    while (cumulative[index] == 0) ++index;
    return index;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(MetricsText, LabelValuesAndBoundsAreWrittenExactly) {
    const struct {
        std::string_view value;
        std::string escaped;
    } labels[] = {
        {"plain", "plain"},
        {"a\\b", "a\\\\b"},
        {"say \"hi\"", "say \\\"hi\\\""},
        {"two\nlines", "two\\nlines"},
        {"\\\"\n", "\\\\\\\"\\n"},
        {"http://h/é?x=1", "http://h/é?x=1"},
    };
    for (const auto& label : labels) EXPECT_EQ(escapeLabelValue(label.value), label.escaped);

    const struct {
        std::uint64_t us;
        std::string text;
    } seconds[] = {{100, "0.0001"}, {180, "0.00018"}, {56000, "0.056"},
                   {1000000, "1"},  {5600000, "5.6"}, {10000000, "10"}};
    for (const auto& bound : seconds) EXPECT_EQ(secondsText(bound.us), bound.text);
}

TEST(MetricsText, BucketsComeFromTheFineCounts) {
    const std::span<const std::uint64_t> bounds = histogramBoundsUs();
    ASSERT_EQ(bounds.size(), 21u);
    EXPECT_EQ(bounds.front(), 100u);
    EXPECT_EQ(bounds.back(), 10000000u);
    // Below 100 ms every bound is an edge of a fine bucket: exact counts.
    for (const std::uint64_t bound : bounds) {
        if (bound < 100000) {
            EXPECT_TRUE(isFineBucketLow(bound)) << bound;
        }
    }
    const struct {
        std::int64_t latencyNs;
        std::size_t bucket;  // index into the bounds; 21 is +Inf
    } cases[] = {
        {0, 0},
        {99'999, 0},   // 99.999 us <= 100 us
        {100'000, 1},  // its fine bucket reaches past 100 us
        {179'999, 1},
        {55'999'999, 11},      // just under 56 ms
        {56'000'000, 12},      // 56 ms starts a fine bucket above the bound
        {9'990'000'000, 20},   // 9.99 s
        {10'100'000'000, 21},  // 10.1 s: +Inf alone
        {-5, 0},               // a clock step backwards counts as 0
    };
    for (const auto& one : cases) EXPECT_EQ(bucketOf(one.latencyNs), one.bucket) << one.latencyNs;

    // A spread over the whole range: cumulative, ending in the total.
    std::vector<std::int64_t> spread;
    for (std::int64_t ns = 50'000; ns < 20'000'000'000; ns = ns * 13 / 10) spread.push_back(ns);
    const std::vector<std::uint64_t> cumulative = cumulativeBuckets(fineCountsOf(spread));
    ASSERT_EQ(cumulative.size(), bounds.size() + 1);
    for (std::size_t i = 1; i < cumulative.size(); ++i) EXPECT_LE(cumulative[i - 1], cumulative[i]);
    EXPECT_EQ(cumulative.back(), spread.size());
    EXPECT_GT(cumulative.front(), 0u);
    EXPECT_LT(cumulative[bounds.size() - 1], spread.size());
}

TEST(MetricsText, PlannedSumTakesEachBucketsMiddle) {
    // 5 us (a bucket of 1 us) twice, and 3 ms (a bucket of 2 us from 3000 us).
    const std::vector<FineBucket> counts = fineCountsOf({5'000, 5'400, 3'000'000});
    EXPECT_DOUBLE_EQ(fineSumNs(counts), 2 * 5'500.0 + 3'001'000.0);
    EXPECT_DOUBLE_EQ(fineSumNs({}), 0.0);
}

TEST(MetricsText, EverySeriesCarriesTheRunsLabelsUnderItsFamily) {
    MetricsFigures figures;
    figures.errorKinds[static_cast<std::size_t>(ErrorKind::ClosedEarly)] = 3;
    figures.sentCounts = fineCountsOf({150'000, 150'000, 2'000'000'000});
    figures.sentSumNs = 2'000'300'000;
    figures.paced = true;
    figures.plannedCounts = fineCountsOf({150'000});
    figures.targetRate = 1250.5;
    const MetricsLabels labels{"soak-1", "2/4", "http://h/\"q\"", "1.0.0"};
    const std::vector<std::string> lines = linesOf(metricsText(labels, figures));

    const std::string run = "run_id=\"soak-1\",agent=\"2/4\"";
    // What Prometheus checks itself (HELP, TYPE, the histogram's shape) the
    // end-to-end test leaves to promtool; here the figures and labels.
    const std::string expected[] = {
        "velkor_errors_total{" + run + ",kind=\"closed_early\"} 3",
        "velkor_request_duration_seconds_bucket{" + run + ",le=\"0.0001\"} 0",
        "velkor_request_duration_seconds_bucket{" + run + ",le=\"0.00018\"} 2",
        "velkor_request_duration_seconds_bucket{" + run + ",le=\"3.2\"} 3",
        "velkor_request_duration_seconds_sum{" + run + "} 2.0003",
        "velkor_planned_request_duration_seconds_count{" + run + "} 1",
        "velkor_target_rate{" + run + "} 1250.5",
        "velkor_run_info{" + run + ",url=\"http://h/\\\"q\\\"\",version=\"1.0.0\"} 1",
    };
    for (const std::string& line : expected) {
        EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
    }
    // Each sample follows its family's HELP and TYPE lines.
    std::string family;
    for (const std::string& line : lines) {
        if (line.rfind("# TYPE ", 0) == 0) family = line.substr(7, line.find(' ', 7) - 7);
        if (line[0] == '#') continue;
        EXPECT_EQ(line.rfind(family, 0), 0u) << line;
        EXPECT_NE(line.find("{" + run), std::string::npos) << line;
    }
}

TEST(MetricsText, AnUnpacedRunWithoutLabelsHasNoPlannedFamily) {
    const std::string text = metricsText({"", "", "http://h/", "1.0.0"}, MetricsFigures{});
    EXPECT_NE(text.find("\nvelkor_connections_held 0\n"), std::string::npos);
    EXPECT_EQ(text.find("planned"), std::string::npos);
}

}  // namespace
