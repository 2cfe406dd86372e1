#include "config/rate_plan.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

constexpr std::int64_t kSecNs = 1'000'000'000;

TEST(RatePlan, ReadsGoodPlansAndNamesTheStepOfABadOne) {
    struct Case {
        std::string text;
        const char* problem;    // empty: the plan is good
        const char* canonical;  // a good plan written back
        std::int64_t lengthSec;
    };
    const std::string many = [] {
        std::string text = "1s:1";
        for (int i = 1; i < 1000; ++i) text += ",1s:1";
        return text;
    }();
    const Case cases[] = {
        {"30s:1000,60s:1000-5000,30s:5000", "", "30s:1000,60s:1000-5000,30s:5000", 120},
        {"2m:0-10,1h:10", "", "120s:0-10,3600s:10", 3720},
        {"5s:0", "", "5s:0", 5},  // a plan may hold connections with no request
        {many, "", many.c_str(), 1000},
        {"", "计划为空", "", 0},
        {many + ",1s:1", "计划超过1000步", "", 0},
        {"5s:10,0s:5", "第2步 \"0s:5\"：时长为0", "", 0},
        {"5s:-3", "第1步 \"5s:-3\"：速率不能为负", "", 0},
        {"5s:10x", "第1步 \"5s:10x\"：速率须为整数（每秒请求数），其后不能有其他文字", "", 0},
        {"5s:10000001", "第1步 \"5s:10000001\"：速率超过每秒10000000", "", 0},
        {"5x:10", "第1步 \"5x:10\"：时长的数字后须为单位 s、m 或 h", "", 0},
        {"s:10", "第1步 \"s:10\"：时长须为整数加单位 s、m 或 h", "", 0},
        {"278h:1", "第1步 \"278h:1\"：时长超过1000000秒", "", 0},
        {"5s:1,,5s:1", "第2步 \"\"：须为“时长:速率”或“时长:起始速率-结束速率”", "", 0},
        {"5s 10", "第1步 \"5s 10\"：须为“时长:速率”或“时长:起始速率-结束速率”", "", 0},
    };
    for (const Case& c : cases) {
        RatePlan plan;
        std::string problem;
        const bool good = parseRatePlan(c.text, plan, problem);
        EXPECT_EQ(good, std::string(c.problem).empty()) << c.text.substr(0, 40);
        EXPECT_EQ(problem, c.problem) << c.text.substr(0, 40);
        if (good) {
            EXPECT_EQ(ratePlanText(plan), c.canonical);
            EXPECT_EQ(planLengthSec(plan), c.lengthSec);
        }
    }
}

RatePlan planOf(const char* text) {
    RatePlan plan;
    std::string problem;
    EXPECT_TRUE(parseRatePlan(text, plan, problem)) << problem;
    return plan;
}

TEST(RatePlan, TheKthStartIsWhereTheIntegralReachesK) {
    struct Case {
        const char* plan;
        std::int64_t k;
        std::int64_t offsetNs;  // -1: the plan ends first
    };
    const Case cases[] = {
        {"10s:1000", 0, 0},
        {"10s:1000", 1, 1'000'000},
        {"10s:3", 1, 333'333'333},  // the last nanosecond before the exact instant
        {"10s:3", 30, -1},
        {"10s:0-100", 5, kSecNs},           // 5 t^2 = 5 at 1 s
        {"10s:0-100", 1, 447'213'595},      // sqrt(0.2) s
        {"10s:100-0", 95, kSecNs},          // 100 t - 5 t^2 = 95 at 1 s
        {"10s:100-0", 499, 9'552'786'404},  // 10 - sqrt(0.2) s
        {"10s:100-0", 500, -1},
        {"5s:200,10s:200-2000,5s:2000", 1000, 5 * kSecNs},
        {"5s:200,10s:200-2000,5s:2000", 12000, 15 * kSecNs},
        {"5s:200,10s:200-2000,5s:2000", 21999, 20 * kSecNs - 500'000},
        {"2s:0,2s:10", 0, 2 * kSecNs},  // steps of rate 0 plan nothing
        {"2s:0,2s:10", 19, 3'900'000'000},
        {"1s:5,3s:0,1s:5", 5, 4 * kSecNs},
        {"1s:0-1", 1, -1},  // the integral ends at 0.5
        {"1000000s:0-10000000", 4'999'999'999'999, 999'999'999'999'899},  // 100 ns before the end
    };
    for (const Case& c : cases) {
        EXPECT_EQ(plannedStartOffsetNs(planOf(c.plan), c.k), c.offsetNs) << c.plan << " " << c.k;
    }
}

// Every start of several plans, against the integral in floating point: at
// each start it is k, within what a nanosecond at the plan's top rate adds.
TEST(RatePlan, StartsFollowTheIntegralAcrossRampsAndFlatSteps) {
    for (const char* text : {"5s:200,10s:200-2000,5s:2000", "3s:7-1,2s:0,4s:1-999,1s:13",
                             "7s:1000-0,3s:0-3", "2s:9999999-10000000"}) {
        const RatePlan plan = planOf(text);
        std::int64_t k = 0;
        std::int64_t previousNs = 0;
        for (;; ++k) {
            const std::int64_t offsetNs = plannedStartOffsetNs(plan, k);
            if (offsetNs < 0) break;
            ASSERT_GE(offsetNs, previousNs) << text << " " << k;
            const double slack = 1e-9 * plannedRateAt(plan, offsetNs) + 1e-6;
            ASSERT_LE(plannedCountBefore(plan, offsetNs), k + 1e-6) << text << " " << k;
            ASSERT_GE(plannedCountBefore(plan, offsetNs + 1), k - slack) << text << " " << k;
            previousNs = offsetNs;
        }
        // One start for each whole request the plan holds, from 0 on.
        EXPECT_EQ(k, (plan.doubledCountsBefore.back() + 1) / 2) << text;
    }
}

}  // namespace
