// Gives each test a fresh set of run statistics and a usable latency lock.
#pragma once

#include <gtest/gtest.h>

#include "stats/run_stats.h"

class RunStatsTest : public testing::Test {
protected:
    void SetUp() override {
        InitializeCriticalSection(&g_latencyLock);
        g_completedRequests = 0;
        g_totalErrors = 0;
        g_latenciesMs.clear();
        g_lastReportedIndex = 0;
    }
    void TearDown() override { DeleteCriticalSection(&g_latencyLock); }
};
