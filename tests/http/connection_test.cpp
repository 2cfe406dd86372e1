#include <atomic>
#include <chrono>
#include <thread>

#include "config/test_config.h"
#include "platform/os/clock.h"
#include "http/target_lookup.h"
#include "support/fiber_pair.h"
#include "support/loopback.h"
#include "support/run_stats_reset.h"

namespace {

using Connection = RunStatsTest;

TEST_F(Connection, ConnectsAndCountsNothing) {
    std::uint16_t port = 0;
    const SOCKET listener = listenOnLoopback(port);
    const TestConfig config = loopbackTarget(port);
    const SOCKET socket = config.createConnection(monotonicNowNs() + 5 * kNsPerSec);
    EXPECT_NE(socket, INVALID_SOCKET);
    EXPECT_EQ(g_totalErrors, 0u);
    closesocket(socket);
    closesocket(listener);
}

TEST_F(Connection, RefusedConnectionCountsOneError) {
    std::uint16_t port = 0;
    closesocket(listenOnLoopback(port));  // the port is now closed
    TestConfig config = loopbackTarget(port);
    EXPECT_EQ(config.createConnection(monotonicNowNs() + 5 * kNsPerSec), INVALID_SOCKET);
    EXPECT_EQ(g_totalErrors, 1u);
    EXPECT_EQ(errorKindCounts(), (ErrorKindCounts{1, 0, 0, 0, 0, 0, 0, 0}));
    // Not an address, and no name: the resolver fails without the network,
    // and the run is refused before any client would connect.
    config.host = "999.1.1.1";
    config.targetAddresses.clear();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(lookUpTarget(config));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "无法解析主机名: \"999.1.1.1\"（找不到它的IP地址）\n");
    EXPECT_EQ(config.createConnection(monotonicNowNs() + 5 * kNsPerSec), INVALID_SOCKET);
    EXPECT_EQ(g_totalErrors, 2u);
    EXPECT_EQ(errorKindCounts(), (ErrorKindCounts{1, 0, 0, 0, 0, 0, 0, 1}));
}

// A target whose queue is full drops the SYN: no answer by the give-up
// instant, a kind of its own.
TEST_F(Connection, ConnectWithoutAnAnswerCountsAsUnanswered) {
    std::uint16_t port = 0;
    const SOCKET listener = listenOnLoopback(port);
    listen(listener, 0);
    const TestConfig config = loopbackTarget(port);
    const SOCKET filler = config.createConnection(monotonicNowNs() + 5 * kNsPerSec);
    ASSERT_NE(filler, INVALID_SOCKET);
    EXPECT_EQ(config.createConnection(monotonicNowNs() + 300 * kNsPerMs), INVALID_SOCKET);
    EXPECT_EQ(g_totalErrors, 1u);
    EXPECT_EQ(errorKindCounts(), (ErrorKindCounts{0, 1, 0, 0, 0, 0, 0, 0}));
    closesocket(filler);
    closesocket(listener);
}

// Client i connects to target address i mod their count, on every connection.
TEST_F(Connection, ClientsAreSpreadOverTheTargetAddresses) {
    std::uint16_t ports[2] = {};
    const SOCKET listeners[2] = {listenOnLoopback(ports[0]), listenOnLoopback(ports[1])};
    TestConfig config = loopbackTarget(ports[0]);
    config.targetAddresses.push_back(loopbackTarget(ports[1]).targetAddresses.front());
    for (std::int32_t client : {0, 1, 2, 3, 5}) {
        const SOCKET socket = config.createConnection(monotonicNowNs() + 5 * kNsPerSec, client);
        ASSERT_NE(socket, INVALID_SOCKET);
        sockaddr_in peer{};
        socklen_t length = sizeof(peer);
        getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length);
        EXPECT_EQ(ntohs(peer.sin_port), ports[client % 2]) << "client " << client;
        closesocket(acceptClient(listeners[client % 2]));
        closesocket(socket);
    }
    for (SOCKET listener : listeners) closesocket(listener);
}

// A handshake the target completes only after the give-up instant, seen by a
// pool worker that was busy with another client meanwhile.
struct LateHandshake {
    TestConfig config;                       // the target: a listener with a full queue
    std::int64_t giveUpNs = 0;               // the connect's give-up instant
    SOCKET result = INVALID_SOCKET;          // what createConnection returned
    std::atomic<bool> connecting{false};     // the connect is about to start
    std::atomic<bool> handshakeDone{false};  // the target has accepted it
};

void connectLate(void* argument) {
    auto* late = static_cast<LateHandshake*>(argument);
    late->connecting = true;
    late->result = late->config.createConnection(late->giveUpNs);
}

// Keeps the worker from polling from just after the give-up instant until the
// handshake is done, as thousands of running clients would.
void busyPastTheHandshake(void* argument) {
    auto* late = static_cast<LateHandshake*>(argument);
    sleepOnFiber(late->giveUpNs + 100'000 - monotonicNowNs());
    const std::int64_t stopNs = monotonicNowNs() + 5 * kNsPerSec;
    while (!late->handshakeDone && monotonicNowNs() < stopNs) {
    }
    const std::int64_t settledNs = monotonicNowNs() + 20 * kNsPerMs;
    while (monotonicNowNs() < settledNs) {
    }
}

// The server did answer, too late to be used: no connection, and no error.
TEST_F(Connection, HandshakeCompletedAfterTheGiveUpInstantIsNotMade) {
    std::uint16_t port = 0;
    const SOCKET listener = listenOnLoopback(port);
    listen(listener, 0);
    // One connection fills the queue; the next one's SYN is dropped until
    // its retransmission, about a second later.
    const TestConfig filling = loopbackTarget(port);
    const SOCKET filler = filling.createConnection(monotonicNowNs() + 5 * kNsPerSec);
    ASSERT_NE(filler, INVALID_SOCKET);
    LateHandshake late;
    late.config = loopbackTarget(port);
    late.giveUpNs = monotonicNowNs() + 300 * kNsPerMs;
    std::thread target([&] {
        while (!late.connecting) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        closesocket(acceptClient(listener));  // room for the retransmitted SYN
        const SOCKET accepted = acceptClient(listener);
        late.handshakeDone = true;
        closesocket(accepted);
    });
    FiberPair pair{connectLate, busyPastTheHandshake, &late};
    EXPECT_TRUE(runFiberPair(pair));
    target.join();
    EXPECT_TRUE(late.handshakeDone);
    EXPECT_EQ(late.result, INVALID_SOCKET);
    EXPECT_EQ(g_totalErrors, 0u);
    if (late.result != INVALID_SOCKET) closesocket(late.result);
    closesocket(filler);
    closesocket(listener);
}

}  // namespace
