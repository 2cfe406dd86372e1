// Gives each test a fresh set of run statistics.
#pragma once

#include <gtest/gtest.h>

#include "stats/run_stats.h"

class RunStatsTest : public testing::Test {
protected:
    void SetUp() override { resetRunStats(); }
    void TearDown() override { resetRunStats(); }
};
