#include "config/client_share.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Every split of a run over N agents runs each client exactly once.
TEST(ClientShare, AgentsTogetherRunEveryClientOnce) {
    for (std::int32_t concurrency : {0, 1, 2, 7, 30, 1001}) {
        for (std::int32_t agents : {1, 2, 3, 4, 9}) {
            std::vector<int> runs(static_cast<std::size_t>(concurrency), 0);
            for (std::int32_t agent = 1; agent <= agents; ++agent) {
                TestConfig config;
                config.concurrency = concurrency;
                config.agentIndex = agent;
                config.agentCount = agents;
                for (std::int32_t local = 0; local < localClientCount(config); ++local) {
                    const std::int32_t global = globalClientIndex(config, local);
                    ASSERT_LT(global, concurrency);
                    EXPECT_EQ(global % agents, agent - 1);
                    ++runs[static_cast<std::size_t>(global)];
                }
            }
            for (int count : runs) EXPECT_EQ(count, 1) << concurrency << " over " << agents;
        }
    }
}

TEST(ClientShare, AloneRunsEveryClient) {
    TestConfig config;
    config.concurrency = 25;
    EXPECT_EQ(localClientCount(config), 25);
    EXPECT_EQ(globalClientIndex(config, 24), 24);
    config.concurrency = -3;
    EXPECT_EQ(localClientCount(config), 0);
}

}  // namespace
