#include "config/test_config.h"
#include "common/clock.h"
#include "support/loopback.h"
#include "support/run_stats_reset.h"

namespace {

using Connection = RunStatsTest;

TEST_F(Connection, ConnectsAndCountsNothing) {
    std::uint16_t port = 0;
    const SOCKET listener = listenOnLoopback(port);
    TestConfig config;
    config.host = "127.0.0.1";
    config.port = port;
    const SOCKET socket = config.createConnection(monotonicNowNs() + 5 * kNsPerSec);
    EXPECT_NE(socket, INVALID_SOCKET);
    EXPECT_EQ(g_totalErrors, 0u);
    closesocket(socket);
    closesocket(listener);
}

TEST_F(Connection, RefusedConnectionCountsOneError) {
    std::uint16_t port = 0;
    closesocket(listenOnLoopback(port));  // the port is now closed
    TestConfig config;
    config.host = "127.0.0.1";
    config.port = port;
    EXPECT_EQ(config.createConnection(monotonicNowNs() + 5 * kNsPerSec), INVALID_SOCKET);
    EXPECT_EQ(g_totalErrors, 1u);
    config.host = "999.1.1.1";  // not an address; the resolver fails without the network
    EXPECT_EQ(config.createConnection(monotonicNowNs() + 5 * kNsPerSec), INVALID_SOCKET);
    EXPECT_EQ(g_totalErrors, 2u);
}

}  // namespace
