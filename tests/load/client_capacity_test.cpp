#include "load/client_capacity.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"

namespace {

struct Capacity {
    bool fits;            // what clientCountFits said
    std::string message;  // what it wrote on standard error
};

Capacity check(std::int32_t concurrency, std::int32_t agentIndex = 0, std::int32_t agentCount = 0) {
    TestConfig config;
    config.concurrency = concurrency;
    config.agentIndex = agentIndex;
    config.agentCount = agentCount;
    testing::internal::CaptureStderr();
    const bool fits = clientCountFits(config);
    return {fits, testing::internal::GetCapturedStderr()};
}

// A number as the message shows it, between spaces (or before the advice).
std::string shown(std::int64_t number, bool spaceAfter = true) {
    std::string text(1, ' ');
    text += std::to_string(number);
    if (spaceAfter) text += ' ';
    return text;
}

class ClientCapacity : public testing::Test {
protected:
    // The limit is the one a run sees: WSAStartup raises it on POSIX.
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
        limit = static_cast<std::int32_t>(maxOpenSockets(0));
        ASSERT_GT(limit, 100);
        ASSERT_LT(limit, INT32_MAX / 4);
    }
    void TearDown() override { WSACleanup(); }

    std::int32_t limit = 0;  // sockets this process may hold
};

TEST_F(ClientCapacity, CountsUpToTheLimitRunSilently) {
    for (std::int32_t clients : {-5, 0, 1, 30, limit}) {
        const Capacity result = check(clients);
        EXPECT_TRUE(result.fits) << clients;
        EXPECT_EQ(result.message, "") << clients;
    }
}

TEST_F(ClientCapacity, CountsPastTheLimitAreRefusedInOneLine) {
    for (std::int32_t clients : {limit + 1, 2'000'000'000}) {
        const Capacity result = check(clients);
        EXPECT_FALSE(result.fits) << clients;
        const std::string& line = result.message;
        EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
        EXPECT_NE(line.find(shown(clients)), std::string::npos) << line;
        EXPECT_NE(line.find(shown(limit, false)), std::string::npos) << line;
        EXPECT_NE(line.find("--agent K/N"), std::string::npos) << line;
    }
}

// Only this agent's share of the clients has to fit.
TEST_F(ClientCapacity, AnAgentCountsItsOwnShare) {
    EXPECT_TRUE(check(limit * 2, 1, 2).fits);
    EXPECT_TRUE(check(limit * 2 + 1, 2, 2).fits);  // agent 2 of 2 runs the smaller half
    const Capacity refused = check(limit * 2 + 1, 1, 2);
    EXPECT_FALSE(refused.fits);
    EXPECT_NE(refused.message.find(shown(limit + 1)), std::string::npos);
}

}  // namespace
