#include "config/client_share.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Every split of a run over N agents runs each client exactly once, and so
// does a process that is no agent (agents 0).
TEST(ClientShare, AgentsTogetherRunEveryClientOnce) {
    for (std::int32_t concurrency : {-3, 0, 1, 2, 7, 30, 1001}) {
        for (std::int32_t agents : {0, 1, 2, 3, 4, 9}) {
            const std::int32_t processes = agents > 0 ? agents : 1;
            std::vector<int> runs(static_cast<std::size_t>(concurrency > 0 ? concurrency : 0), 0);
            for (std::int32_t agent = 1; agent <= processes; ++agent) {
                TestConfig config;
                config.concurrency = concurrency;
                config.agentIndex = agents > 0 ? agent : 0;
                config.agentCount = agents;
                for (std::int32_t local = 0; local < localClientCount(config); ++local) {
                    const std::int32_t global = globalClientIndex(config, local);
                    ASSERT_LT(global, concurrency);
                    EXPECT_EQ(global % processes, agent - 1);
                    ++runs[static_cast<std::size_t>(global)];
                }
            }
            for (int count : runs) EXPECT_EQ(count, 1) << concurrency << " over " << agents;
        }
    }
}

}  // namespace
