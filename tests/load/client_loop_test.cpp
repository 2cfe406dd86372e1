// A client's reconnects as the target sees them: when a connection the server
// closed is reopened, and that no request follows a reconnect at the deadline.
#include "load/client_loop.h"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/os/clock.h"
#include "support/fiber_pair.h"
#include "support/loopback.h"
#include "support/run_stats_reset.h"

namespace {

using ClientLoop = RunStatsTest;

constexpr const char* kClosingAnswer =
    "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

RunWindow windowOf(std::int64_t durationNs) {
    const std::int64_t startNs = monotonicNowNs();
    return RunWindow{startNs, startNs + durationNs, startNs + durationNs,
                     startNs + durationNs + kGiveUpGraceNs, startNs};
}

// The next connection within waitMs, or INVALID_SOCKET.
SOCKET acceptWithin(SOCKET listener, int waitMs) {
    if (waitForSocket(listener, SocketWait::Readable, waitMs) != WaitResult::Ready) {
        return INVALID_SOCKET;
    }
    return acceptClient(listener);
}

// A paced client whose next planned start lies beyond the run still holds a
// connection to the end after the server closed the one it had.
TEST_F(ClientLoop, PacedClientReopensAClosedConnectionAtOnce) {
    std::uint16_t port = 0;
    const SOCKET listener = listenOnLoopback(port);
    TestConfig config = loopbackTarget(port);
    config.durationSec = 1;
    config.concurrency = 1;
    config.targetQps = 1;  // one planned start, at the run's start
    const RunWindow window = windowOf(kNsPerSec);
    std::int64_t reopenedAfterMs = -1;
    bool heldToTheEnd = false;
    std::thread target([&] {
        const SOCKET first = acceptWithin(listener, 5000);
        receiveRequestHeader(first);
        sendText(first, kClosingAnswer);
        closesocket(first);
        const auto closedAt = std::chrono::steady_clock::now();
        const SOCKET second = acceptWithin(listener, 2000);
        if (second == INVALID_SOCKET) return;
        reopenedAfterMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - closedAt)
                              .count();
        // No request comes on it, and it stays open until the deadline.
        heldToTheEnd = receiveRequestHeader(second).empty() &&
                       monotonicNowNs() >= window.deadlineNs - 20 * kNsPerMs;
        closesocket(second);
    });
    runClient(ClientPlan{&config, &window, 0, 0});
    target.join();
    EXPECT_GE(reopenedAfterMs, 0) << "the client never reconnected";
    EXPECT_LT(reopenedAfterMs, 500);
    EXPECT_TRUE(heldToTheEnd);
    EXPECT_EQ(g_completedRequests, 1u);
    EXPECT_EQ(g_totalErrors, 0u);
    // --connections: two opened, the second a reopen after the announced close.
    const ConnectionFigures figures = connectionFigures();
    EXPECT_EQ(figures.opened, 2u);
    EXPECT_EQ(figures.reopened, 1u);
    EXPECT_EQ(figures.closes[static_cast<std::size_t>(ServerClose::Announced)], 1u);
    EXPECT_EQ(figures.mostHeld, 1u);
    EXPECT_EQ(figures.connectCounts.size() > 0, true);
    EXPECT_EQ(readSeries().held, 0u) << "the client let its connection go at the end";
    closesocket(listener);
}

// The client and a fiber standing for thousands of others on one worker.
struct LateReconnect {
    TestConfig config;   // the target, which closes the connection while it is idle
    RunWindow window{};  // the run: the deadline falls during the reconnect
};

void runTheClient(void* argument) {
    auto* late = static_cast<LateReconnect*>(argument);
    runClient(ClientPlan{&late->config, &late->window, 0, 0});
}

void spin(std::int64_t untilNs) {
    while (monotonicNowNs() < untilNs) {
    }
}

// Busy from before the client's second planned start until shortly before
// the deadline, then again, just behind the client, until past it: the
// client wakes in time, finds its idle connection closed and reconnects, but
// runs again only after the deadline.
void keepTheWorkerBusy(void* argument) {
    auto* late = static_cast<LateReconnect*>(argument);
    const std::int64_t deadlineNs = late->window.deadlineNs;
    sleepOnFiber(deadlineNs - 150 * kNsPerMs - monotonicNowNs());
    spin(deadlineNs - 40 * kNsPerMs);
    sleepOnFiber(1);  // woken behind the client, whose planned start has passed
    spin(deadlineNs + 50 * kNsPerMs);
}

// A paced client whose idle connection the server closed reopens it before
// its planned start; when that reopen ends after the deadline, no request
// follows.
TEST_F(ClientLoop, NoRequestFollowsAReconnectThatEndsAfterTheDeadline) {
    std::uint16_t port = 0;
    const SOCKET listener = listenOnLoopback(port);
    LateReconnect late;
    late.config = loopbackTarget(port);
    late.config.durationSec = 1;
    late.config.concurrency = 1;
    late.config.targetQps = 2;  // planned starts at 0 and 500 ms
    late.window = windowOf(600 * kNsPerMs);
    std::atomic<int> lateRequests{0};
    std::thread target([&] {
        const SOCKET first = acceptWithin(listener, 5000);
        receiveRequestHeader(first);
        sendText(first, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
        // Closed while the client waits for its second planned start.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        closesocket(first);
        const SOCKET second = acceptWithin(listener, 2000);
        if (second == INVALID_SOCKET) return;
        // A request sent in time arrives long before the deadline passes by
        // 25 ms; one sent after the late reopen comes 50 ms after it.
        while (!receiveRequestHeader(second).empty()) {
            if (monotonicNowNs() >= late.window.deadlineNs + 25 * kNsPerMs) ++lateRequests;
            sendText(second, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
        }
        closesocket(second);
    });
    FiberPair pair{runTheClient, keepTheWorkerBusy, &late};
    EXPECT_TRUE(runFiberPair(pair));
    target.join();
    EXPECT_EQ(lateRequests, 0);
    EXPECT_EQ(g_completedRequests, 1u);
    EXPECT_EQ(g_totalErrors, 0u);
    // The close while idle counts as such, not as a reset.
    const ConnectionFigures figures = connectionFigures();
    EXPECT_EQ(figures.closes[static_cast<std::size_t>(ServerClose::Idle)], 1u);
    EXPECT_EQ(figures.closes[static_cast<std::size_t>(ServerClose::Reset)], 0u);
    closesocket(listener);
}

}  // namespace
