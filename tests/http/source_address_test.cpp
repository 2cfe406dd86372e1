// Connections leaving from the --source addresses, as the target sees them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/source_check.h"
#include "config/test_config.h"
#include "platform/os/clock.h"
#include "support/loopback.h"
#include "support/run_stats_reset.h"

namespace {

using SourceAddress = RunStatsTest;

SocketAddress parsed(const char* text) {
    SocketAddress address;
    EXPECT_TRUE(readNumericAddress(text, address)) << text;
    return address;
}

TestConfig withSources(std::uint16_t port, std::vector<std::string> sources) {
    TestConfig config = loopbackTarget(port);
    for (const std::string& source : sources) config.sourceBinds.push_back(parsed(source.c_str()));
    config.sourceAddresses = std::move(sources);
    return config;
}

// The address the target sees the accepted connection come from.
std::string peerAddress(SOCKET accepted) {
    sockaddr_in peer{};
    socklen_t length = sizeof(peer);
    getpeername(accepted, reinterpret_cast<sockaddr*>(&peer), &length);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof(text));
    return text;
}

TEST_F(SourceAddress, ClientsTakeTheAddressesInTurn) {
    std::uint16_t port = 0;
    const SOCKET listener = listenOnLoopback(port);
    const TestConfig config = withSources(port, {"127.0.0.2", "127.0.0.3", "127.0.0.4"});
    // Local client j leaves from address j mod 3, on every connection it opens.
    const std::vector<std::int32_t> clients = {0, 1, 2, 3, 4, 7, 1};
    const std::vector<std::string> expected = {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.2",
                                               "127.0.0.3", "127.0.0.3", "127.0.0.3"};
    for (std::size_t at = 0; at < clients.size(); ++at) {
        const SOCKET socket =
            config.createConnection(monotonicNowNs() + 5 * kNsPerSec, clients[at]);
        ASSERT_NE(socket, INVALID_SOCKET);
        const SOCKET accepted = acceptClient(listener);
        EXPECT_EQ(peerAddress(accepted), expected[at]) << "client " << clients[at];
        closesocket(accepted);
        closesocket(socket);
    }
    EXPECT_EQ(g_totalErrors, 0u);
    closesocket(listener);
}

TEST_F(SourceAddress, WithoutSourcesTheSystemChooses) {
    std::uint16_t port = 0;
    const SOCKET listener = listenOnLoopback(port);
    const TestConfig config = withSources(port, {});
    const SOCKET socket = config.createConnection(monotonicNowNs() + 5 * kNsPerSec, 5);
    ASSERT_NE(socket, INVALID_SOCKET);
    const SOCKET accepted = acceptClient(listener);
    EXPECT_EQ(peerAddress(accepted), "127.0.0.1");
    closesocket(accepted);
    closesocket(socket);
    closesocket(listener);
}

TEST_F(SourceAddress, AnAddressNotOursFailsTheConnectAsOneError) {
    std::uint16_t port = 0;
    const SOCKET listener = listenOnLoopback(port);
    // 192.0.2.1 is set aside for documentation and is no interface's address.
    const TestConfig config = withSources(port, {"127.0.0.2", "192.0.2.1"});
    EXPECT_EQ(config.createConnection(monotonicNowNs() + 5 * kNsPerSec, 1), INVALID_SOCKET);
    EXPECT_EQ(g_totalErrors, 1u);
    closesocket(listener);
}

TEST(SourceCheck, NamesTheFirstAddressThatWillNotBind) {
    struct Case {
        const char* target;                // the target's address
        std::vector<std::string> sources;  // --source, in order
        bool accepted;                     // checkSourceAddresses's result
        std::string message;               // what it wrote to standard error
    };
    const Case cases[] = {
        {"127.0.0.1", {}, true, ""},
        {"127.0.0.1", {"127.0.0.2", "127.0.0.3"}, true, ""},
        {"127.0.0.1",
         {"127.0.0.2", "192.0.2.1", "192.0.2.2"},
         false,
         "无法绑定源地址: \"192.0.2.1\"（须为本机的IP地址）\n"},
        {"::1", {"::1"}, true, ""},
        // 2001:db8::/32 is set aside for documentation, like 192.0.2.0/24.
        {"::1",
         {"::1", "2001:db8::1"},
         false,
         "无法绑定源地址: \"2001:db8::1\"（须为本机的IP地址）\n"},
        // A source of the other family is refused before any bind is tried.
        {"127.0.0.1",
         {"127.0.0.2", "::1"},
         false,
         "源地址与目标的IP版本不同: \"::1\"（目标通过IPv4连接，源地址须为IPv4地址）\n"},
        {"::1",
         {"192.0.2.1"},
         false,
         "源地址与目标的IP版本不同: \"192.0.2.1\"（目标通过IPv6连接，源地址须为IPv6地址）\n"},
    };
    for (const Case& c : cases) {
        TestConfig config = withSources(80, c.sources);
        config.targetAddresses.assign(1, parsed(c.target));
        testing::internal::CaptureStderr();
        EXPECT_EQ(checkSourceAddresses(config), c.accepted) << c.message;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
    }
}

}  // namespace
