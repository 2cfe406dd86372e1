// The run's window as a client lives it, seen from the target: every deadline
// counts from the run's start, whenever the client itself starts, and a start
// set on the wall clock holds back the first paced request until then.
#include "load/run_window.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/os/clock.h"
#include "load/client_loop.h"
#include "support/loopback.h"
#include "support/run_stats_reset.h"

namespace {

using RunWindowTest = RunStatsTest;

// What a target that answers every request at once saw of one client.
struct Seen {
    int connections = 0;              // connections accepted
    int requests = 0;                 // requests answered
    std::int64_t firstRequestNs = 0;  // when the first request arrived, monotonic
};

// Serves the client's connections until runClient has returned and none is
// left waiting to be accepted.
void serve(SOCKET listener, const std::atomic<bool>& clientDone, Seen& seen) {
    for (;;) {
        const bool lastLook = clientDone;
        if (waitForSocket(listener, SocketWait::Readable, lastLook ? 0 : 20) != WaitResult::Ready) {
            if (lastLook) return;
            continue;
        }
        const SOCKET accepted = acceptClient(listener);
        ++seen.connections;
        while (!receiveRequestHeader(accepted).empty()) {
            if (seen.requests++ == 0) seen.firstRequestNs = monotonicNowNs();
            sendText(accepted, "HTTP/1.1 204 No Content\r\n\r\n");
        }
        closesocket(accepted);
    }
}

TEST_F(RunWindowTest, ClientsKeepTheRunsDeadlinesHoweverLateTheyStart) {
    struct Case {
        const char* name;              // what the case shows
        std::int32_t durationSec;      // -t
        std::int32_t targetQps;        // -q, with one client
        std::int64_t startInMs;        // the run's start from now; below 0: started that long ago
        bool fromWallClock;            // the start given as a wall-clock instant (--start-at)
        int connections;               // connections the target sees
        bool requests;                 // whether any request comes
        std::int64_t leastMs, mostMs;  // when the client ends, from now
    };
    const Case cases[] = {
        {"late starter gets what remains", 1, 0, -700, false, 1, true, 250, 700},
        {"no run time: the connect, no request", 0, 0, 0, false, 1, false, 0, 500},
        {"turn after the end: nothing", 1, 0, -1500, false, 0, false, 0, 300},
        {"negative run time: as none", -5, 0, 0, false, 1, false, 0, 500},
        // The window counts from the passed instant, so agents keep one
        // schedule: the first paced request goes at once, the run ends 1 s
        // after that instant.
        {"paced, from a wall-clock start already past", 1, 1, -400, true, 1, true, 550, 1000},
        {"paced, from a wall-clock start ahead", 1, 1, 300, true, 1, true, 1250, 1800},
    };
    for (const Case& c : cases) {
        resetRunStats();
        std::uint16_t port = 0;
        const SOCKET listener = listenOnLoopback(port);
        TestConfig config = loopbackTarget(port);
        config.durationSec = c.durationSec;
        config.concurrency = 1;
        config.targetQps = c.targetQps;
        const std::int64_t nowNs = monotonicNowNs();
        const std::int64_t startNs =
            c.fromWallClock ? monotonicInstantOfNs(wallClockNowNs() + c.startInMs * kNsPerMs, nowNs,
                                                   wallClockNowNs())
                            : nowNs + c.startInMs * kNsPerMs;
        const RunWindow window = runWindowFrom(config, startNs);
        std::atomic<bool> clientDone{false};
        Seen seen;
        std::thread target(serve, listener, std::cref(clientDone), std::ref(seen));
        runClient(ClientPlan{&config, &window, 0, 0});
        const std::int64_t endedMs = (monotonicNowNs() - nowNs) / kNsPerMs;
        clientDone = true;
        target.join();
        closesocket(listener);
        EXPECT_EQ(seen.connections, c.connections) << c.name;
        EXPECT_EQ(seen.requests > 0, c.requests) << c.name;
        EXPECT_GE(endedMs, c.leastMs) << c.name;
        EXPECT_LT(endedMs, c.mostMs) << c.name;
        if (c.requests && c.startInMs > 0) {
            EXPECT_GE(seen.firstRequestNs, nowNs + (c.startInMs - 20) * kNsPerMs) << c.name;
        }
        if (c.requests && c.startInMs < 0) {
            EXPECT_LT(seen.firstRequestNs, nowNs + 300 * kNsPerMs) << c.name;
        }
    }
}

// The longest -t a user can give: its deadline lies 68 years ahead, not
// behind the start, and both give-ups follow it in order.
TEST(RunWindow, TheLongestRunTimeKeepsItsDeadlineAhead) {
    TestConfig config;
    config.durationSec = INT32_MAX;
    const std::int64_t startNs = monotonicNowNs();
    const RunWindow window = runWindowFrom(config, startNs);
    EXPECT_EQ(window.deadlineNs - startNs, 2'147'483'647 * kNsPerSec);
    EXPECT_EQ(window.connectGiveUpNs, window.deadlineNs);
    EXPECT_EQ(window.exchangeGiveUpNs - window.deadlineNs, kGiveUpGraceNs);
}

}  // namespace
