#include "metrics/metrics_figures.h"

#include <gtest/gtest.h>

#include "config/rate_plan.h"
#include "stats/run_stats.h"

namespace {

constexpr std::int64_t kSecondNs = 1'000'000'000;
constexpr std::int64_t kStartNs = 1'000 * kSecondNs;

// velkor_target_rate follows the plan through the run, as this process's
// share of it, and reads -q's rate where there is no plan.
TEST(MetricsFigures, TargetRateFollowsThePlanAndTheAgentsShare) {
    struct Case {
        const char* plan;       // --rate-plan; empty: none
        std::int32_t qps;       // -q
        std::int32_t agent;     // --agent K/2; 0: none
        std::int64_t offsetNs;  // from the run's start
        double expected;        // requests a second
    };
    const Case cases[] = {
        {"2s:100,2s:100-300", 0, 0, kSecondNs, 100},
        {"2s:100,2s:100-300", 0, 0, 3 * kSecondNs, 200},
        {"2s:100,2s:100-300", 0, 0, 5 * kSecondNs, 0},  // the plan has ended
        {"2s:100,2s:100-300", 0, 1, 3 * kSecondNs, 100},
        {"", 50, 0, kSecondNs, 50},
        {"", 50, 2, kSecondNs, 25},
        {"", 0, 0, kSecondNs, 0},
    };
    for (const Case& c : cases) {
        TestConfig config;
        config.concurrency = 4;
        config.targetQps = c.qps;
        config.agentIndex = c.agent;
        config.agentCount = c.agent == 0 ? 0 : 2;
        std::string problem;
        if (*c.plan != '\0') {
            ASSERT_TRUE(parseRatePlan(c.plan, config.ratePlan, problem)) << problem;
        }
        startConnectionCount(kStartNs, config.concurrency);
        EXPECT_DOUBLE_EQ(targetRateNow(config, kStartNs + c.offsetNs), c.expected)
            << c.plan << " -q " << c.qps << " agent " << c.agent << " at " << c.offsetNs;
        resetRunStats();
    }
}

}  // namespace
