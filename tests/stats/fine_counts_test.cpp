// The fine buckets against their promise: every latency lands in the one
// bucket that holds it, no bucket is wider than 1 us or 0.1 % of its values,
// and the block of percentiles reads them by the summary's rule.
#include "stats/fine_counts.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "stats/latency_block.h"

namespace {

TEST(FineCounts, EachLatencyLandsInTheNarrowBucketThatHoldsIt) {
    struct Case {
        std::int64_t latencyNs;
        std::uint64_t lowUs;
    };
    const Case cases[] = {
        {-5, 0},
        {0, 0},
        {999, 0},
        {1000, 1},
        {2047999, 2047},
        {2048000, 2048},
        {2049999, 2048},
        {2050000, 2050},
        {4095999, 4094},
        {4096000, 4096},
        {20'123'456, 20112},
        // From 2^53 us on, everything shares the last bucket: the top one of
        // the doubling from 2^52 us, 2^42 us wide, so it starts at 2^53 - 2^42.
        {9'007'199'254'740'991'999, 9'002'801'208'229'888},
        {INT64_MAX, 9'002'801'208'229'888},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(fineBucketLowUs(fineBucketIndex(c.latencyNs)), c.lowUs) << c.latencyNs;
    }
    std::mt19937_64 random(7);
    for (int i = 0; i < 200000; ++i) {
        const std::int64_t latencyNs = static_cast<std::int64_t>(random() >> (1 + random() % 63));
        const std::uint64_t index = fineBucketIndex(latencyNs);
        ASSERT_LT(index, kFineBucketCount);
        const std::uint64_t lowUs = fineBucketLowUs(index);
        const std::uint64_t us = static_cast<std::uint64_t>(latencyNs) / 1000;
        if (us >= kFineLimitUs) continue;
        ASSERT_LE(lowUs, us) << latencyNs;
        ASSERT_TRUE(isFineBucketLow(lowUs));
        if (index + 1 < kFineBucketCount) {
            const std::uint64_t widthUs = fineBucketLowUs(index + 1) - lowUs;
            ASSERT_LT(us, lowUs + widthUs) << latencyNs;
            ASSERT_TRUE(widthUs == 1 || widthUs * 1000 <= lowUs) << latencyNs;
        }
    }
}

TEST(FineCounts, MergeAddsThreadsCountsExactly) {
    FineCounts first;
    FineCounts second;
    addFine(first, 412'345);
    addFine(first, 11'204'999, 2);
    addFine(second, 412'999);
    addFine(second, 3'000'000'000);
    std::vector<std::uint64_t> sums;
    sumFine(first, sums);
    sumFine(second, sums);
    const std::vector<FineBucket> merged = sparseFine(sums);
    ASSERT_EQ(merged.size(), 3u);
    EXPECT_EQ(merged[0].lowUs, 412u);
    EXPECT_EQ(merged[0].count, 2u);
    EXPECT_EQ(merged[1].count, 2u);
    EXPECT_EQ(merged[2].count, 1u);
}

TEST(LatencyBlock, PrintsEachPercentileWithThreeDecimals) {
    RunResult result;
    // 1000 requests: 0.412 ms, ..., and one of 11.204 ms at the top.
    result.fineCounts = {{412, 500}, {700, 399}, {1500, 100}, {11'200, 1}};
    std::ostringstream out;
    printLatencyBlock(result, out);
    EXPECT_EQ(out.str(),
              "\nLatency distribution (ms)\n"
              "  50.000%     0.700\n"
              "  75.000%     0.700\n"
              "  90.000%     1.500\n"
              "  99.000%     1.500\n"
              "  99.900%    11.200\n"
              "  99.990%    11.200\n"
              "  99.999%    11.200\n"
              " 100.000%    11.200\n");
    result.targetQps = 500;
    result.plannedFineCounts = {{900, 10}, {1'234'560, 1}};
    out.str("");
    printLatencyBlock(result, out);
    EXPECT_NE(out.str().find("from the planned start\n  50.000%     0.700     0.900\n"),
              std::string::npos)
        << out.str();
    EXPECT_NE(out.str().find(" 100.000%    11.200  1234.560\n"), std::string::npos) << out.str();
}

}  // namespace
