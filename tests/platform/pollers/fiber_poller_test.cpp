// What clients running as pool fibers see through the poller this process
// uses (VELKOR_POLLER chooses it; CTest runs these under every poller of the
// system): whole keep-alive exchanges, many clients at once; a refused connect
// counted as one error; a silent server given up on at the give-up instant,
// after which the connection is really closed and nothing of it lingers; a
// server that resets the connection fails the next exchange at once; clients
// given up on while an answer still streams in close with receives in
// flight, and nothing is written into memory already freed; bytes received
// into a client's own frame are that client's, whatever ran meanwhile.
#include "platform/platform.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "config/test_config.h"
#include "platform/os/clock.h"
#include "http/exchange.h"
#include "http/request_text.h"
#include "support/heap_check.h"
#include "support/loopback.h"
#include "support/run_stats_reset.h"

namespace {

constexpr std::string_view kResponse = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";

const std::string kRequest = [] {
    TestConfig config;
    config.host = "127.0.0.1";
    config.path = "/";
    return buildRequestText(config);
}();

// A loopback server: each accepted connection gets a thread running script.
struct LoopbackServer {
    SOCKET listener = INVALID_SOCKET;  // its listening socket
    std::uint16_t port = 0;            // where it listens
    std::thread acceptor;              // accepts, and joins the connections' threads

    LoopbackServer(int connections, std::function<void(SOCKET)> script) {
        listener = listenOnLoopback(port);
        acceptor = std::thread([this, connections, script] {
            std::vector<std::thread> handlers;
            for (int index = 0; index < connections; ++index) {
                const SOCKET accepted = acceptClient(listener);
                if (accepted == INVALID_SOCKET) break;
                handlers.emplace_back([accepted, script] {
                    script(accepted);
                    closesocket(accepted);
                });
            }
            for (std::thread& handler : handlers) handler.join();
        });
    }
    ~LoopbackServer() {
        acceptor.join();
        closesocket(listener);
    }
};

// Runs body on `clients` fibers of a pool set up as the run driver sets up its own.
void runOnFibers(int clients, void (*body)(void*), void* context) {
    PTP_POOL pool = CreateThreadpool(nullptr);
    PTP_CLEANUP_GROUP group = CreateThreadpoolCleanupGroup();
    SetThreadpoolThreadMaximum(pool, static_cast<DWORD>(clients));
    TP_CALLBACK_ENVIRON environment{};
    environment.Version = 3;
    environment.Pool = pool;
    environment.CleanupGroup = group;
    environment.Size = sizeof(environment);
    struct Call {
        void (*body)(void*);  // what each fiber runs
        void* context;        // its argument
    } call{body, context};
    const PTP_WORK work = CreateThreadpoolWork(
        [](PTP_CALLBACK_INSTANCE, PVOID argument, PTP_WORK) {
            auto* called = static_cast<Call*>(argument);
            called->body(called->context);
        },
        &call, &environment);
    for (int index = 0; index < clients; ++index) SubmitThreadpoolWork(work);
    CloseThreadpoolCleanupGroupMembers(group, FALSE, nullptr);
    CloseThreadpoolCleanupGroup(group);
    CloseThreadpool(pool);
}

struct ClientPlan {
    TestConfig target;                               // the server's address and port
    int requests = 0;                                // exchanges per client
    std::int64_t giveUpAfterNs = 0;                  // from the client's start
    std::atomic<int> connected{0};                   // clients whose connect succeeded
    std::atomic<int> answered{0};                    // exchanges that returned a latency
    std::atomic<std::int64_t> longestNs{0};          // longest a client took in all
    const std::atomic<int>* peerSawClose = nullptr;  // set by the server once the close arrived
    bool closeArrivedWhileRunning = false;           // it did within 2 s, the worker still running
};

void client(void* argument) {
    auto* plan = static_cast<ClientPlan*>(argument);
    const std::int64_t startNs = monotonicNowNs();
    const SOCKET socket = plan->target.createConnection(startNs + plan->giveUpAfterNs);
    if (socket != INVALID_SOCKET) {
        ++plan->connected;
        ExchangeState state;
        for (int index = 0; index < plan->requests; ++index) {
            if (sendRequest(socket, kRequest, state, startNs + plan->giveUpAfterNs) < 0) break;
            ++plan->answered;
        }
        closesocket(socket);
        // Nothing the poller still holds may keep the connection open.
        for (int waitedMs = 0; plan->peerSawClose != nullptr && waitedMs < 2000; waitedMs += 10) {
            if (*plan->peerSawClose > 0) plan->closeArrivedWhileRunning = true;
            if (plan->closeArrivedWhileRunning) break;
            Sleep(10);
        }
    }
    const std::int64_t tookNs = monotonicNowNs() - startNs;
    std::int64_t longest = plan->longestNs;
    while (tookNs > longest && !plan->longestNs.compare_exchange_weak(longest, tookNs)) {
    }
}

using FiberPoller = RunStatsTest;

TEST_F(FiberPoller, ManyClientsExchangeWholeResponses) {
    constexpr int kClients = 40;
    constexpr int kRequests = 50;
    LoopbackServer server(kClients, [](SOCKET accepted) {
        while (!receiveRequestHeader(accepted).empty()) sendText(accepted, kResponse);
    });
    ClientPlan plan;
    plan.target = loopbackTarget(server.port);
    plan.requests = kRequests;
    plan.giveUpAfterNs = 30 * kNsPerSec;
    runOnFibers(kClients, client, &plan);
    EXPECT_EQ(plan.connected, kClients);
    EXPECT_EQ(plan.answered, kClients * kRequests);
    EXPECT_EQ(g_completedRequests, static_cast<std::uint64_t>(kClients * kRequests));
    EXPECT_EQ(g_totalErrors, 0u);
}

TEST_F(FiberPoller, RefusedConnectIsOneError) {
    std::uint16_t port = 0;
    closesocket(listenOnLoopback(port));  // a port nobody listens on
    ClientPlan plan;
    plan.target = loopbackTarget(port);
    plan.giveUpAfterNs = 5 * kNsPerSec;
    runOnFibers(1, client, &plan);
    EXPECT_EQ(plan.connected, 0);
    EXPECT_EQ(g_totalErrors, 1u);
    EXPECT_LT(plan.longestNs, 4 * kNsPerSec);  // refused at once, not given up on
}

// The server answers the first request and not the second: the second wait
// is the one given up, whichever way the poller waits by then.
TEST_F(FiberPoller, SilentServerIsGivenUpOnAndTheConnectionCloses) {
    std::atomic<int> closedByClient{0};
    {
        LoopbackServer server(1, [&closedByClient](SOCKET accepted) {
            receiveRequestHeader(accepted);
            sendText(accepted, kResponse);
            receiveRequestHeader(accepted);
            // Never answers; the client's close must reach this end.
            char byte = 0;
            if (waitForSocket(accepted, SocketWait::Readable, 10'000) == WaitResult::Ready &&
                recv(accepted, &byte, 1, 0) == 0) {
                ++closedByClient;
            }
        });
        ClientPlan plan;
        plan.target = loopbackTarget(server.port);
        plan.requests = 2;
        plan.giveUpAfterNs = 400 * kNsPerMs;
        plan.peerSawClose = &closedByClient;
        runOnFibers(1, client, &plan);
        EXPECT_EQ(plan.connected, 1);
        EXPECT_EQ(plan.answered, 1);
        EXPECT_EQ(g_completedRequests, 1u);
        EXPECT_EQ(g_totalErrors, 1u);
        EXPECT_GE(plan.longestNs, 400 * kNsPerMs);
        EXPECT_LT(plan.longestNs, 5 * kNsPerSec);
        EXPECT_TRUE(plan.closeArrivedWhileRunning);
    }
    EXPECT_EQ(closedByClient, 1);
}

// The reset may reach the client before its next request goes or after: the
// exchange fails at once either way, as one error, and never passes for answered.
TEST_F(FiberPoller, ResetAfterTheFirstAnswerFailsTheNextExchangeAtOnce) {
    LoopbackServer server(1, [](SOCKET accepted) {
        receiveRequestHeader(accepted);
        sendText(accepted, kResponse);
        const linger abort{1, 0};  // the close sends a reset
        setsockopt(accepted, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort),
                   sizeof(abort));
    });
    ClientPlan plan;
    plan.target = loopbackTarget(server.port);
    plan.requests = 3;
    plan.giveUpAfterNs = 10 * kNsPerSec;
    runOnFibers(1, client, &plan);
    EXPECT_EQ(plan.answered, 1);
    EXPECT_EQ(g_completedRequests, 1u);
    EXPECT_EQ(g_totalErrors, 1u);
    EXPECT_LT(plan.longestNs, 5 * kNsPerSec);
}

// Every client is given up on in the middle of an answer whose bytes keep
// arriving, so each closes its socket while its poller is receiving for it
// (a completion port's receive, or io_uring's, still in flight) and while
// the server's bytes still come. Each costs exactly one error, and the heap
// is whole afterwards: what the kernel was writing into was not freed under it.
TEST_F(FiberPoller, ClosingWithReceivesInFlightUnderLoadCostsOneErrorEach) {
    constexpr int kClients = 64;
    {
        LoopbackServer server(kClients, [](SOCKET accepted) {
            receiveRequestHeader(accepted);
            sendText(accepted, "HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n");
            // A byte every few ms for a while; once the client has closed,
            // its reset ends the sends.
            const std::string bytes(64, 'x');
            for (int round = 0; round < 300; ++round) {
                if (send(accepted, bytes.data(), static_cast<int>(bytes.size()), 0) <= 0) break;
                Sleep(3);
            }
        });
        ClientPlan plan;
        plan.target = loopbackTarget(server.port);
        plan.requests = 1;
        plan.giveUpAfterNs = 300 * kNsPerMs;
        runOnFibers(kClients, client, &plan);
        EXPECT_EQ(plan.connected, kClients);
        EXPECT_EQ(plan.answered, 0);
        EXPECT_EQ(g_completedRequests, 0u);
        EXPECT_EQ(g_totalErrors, static_cast<std::uint64_t>(kClients));
        EXPECT_LT(plan.longestNs, 10 * kNsPerSec);
    }
    EXPECT_TRUE(heapsIntact());
}

// The bytes of round `round` of the client that sent `id`.
char patternByte(std::uint32_t id, int round, int index) {
    return static_cast<char>(
        (id * 7u + static_cast<unsigned>(round) * 13u + static_cast<unsigned>(index)) & 0xffu);
}

constexpr int kPatternBytes = 3000;  // a round's bytes, sent at once
constexpr int kPatternRounds = 6;

struct PatternPlan {
    TestConfig target;                     // the server's address and port
    std::atomic<std::uint32_t> nextId{0};  // the next client's number
    std::atomic<int> rounds{0};            // rounds received whole
    std::atomic<int> damaged{0};           // bytes that were not the client's own
};

// Each round the client asks for its bytes, lets them arrive while other
// clients run, and receives them into its own frame with no wait first: the
// receive is a call the poller may take, which parks the client.
void patternClient(void* argument) {
    auto* plan = static_cast<PatternPlan*>(argument);
    const std::uint32_t id = plan->nextId++;
    const SOCKET socket = plan->target.createConnection(monotonicNowNs() + 20 * kNsPerSec);
    if (socket == INVALID_SOCKET) return;
    for (int round = 0; round < kPatternRounds; ++round) {
        const std::uint32_t ask[2] = {id, static_cast<std::uint32_t>(round)};
        if (send(socket, reinterpret_cast<const char*>(ask), sizeof(ask), 0) != sizeof(ask)) break;
        Sleep(2);
        char room[kPatternBytes];
        int received = 0;
        while (received < kPatternBytes) {
            const auto got = recv(socket, room + received, kPatternBytes - received, 0);
            if (got > 0) {
                received += static_cast<int>(got);
            } else if (got == 0 ||
                       waitForSocket(socket, SocketWait::Readable, 5000) != WaitResult::Ready) {
                break;
            }
        }
        for (int index = 0; index < received; ++index) {
            if (room[index] != patternByte(id, round, index)) ++plan->damaged;
        }
        if (received == kPatternBytes) ++plan->rounds;
    }
    closesocket(socket);
}

TEST_F(FiberPoller, BytesReceivedIntoAClientsFrameAreItsOwn) {
    constexpr int kClients = 200;
    LoopbackServer server(kClients, [](SOCKET accepted) {
        std::uint32_t ask[2];
        for (;;) {
            int have = 0;
            while (have < static_cast<int>(sizeof(ask))) {
                const auto got = recv(accepted, reinterpret_cast<char*>(ask) + have,
                                      static_cast<int>(sizeof(ask)) - have, 0);
                if (got <= 0) return;
                have += static_cast<int>(got);
            }
            std::string bytes(kPatternBytes, '\0');
            for (int index = 0; index < kPatternBytes; ++index) {
                bytes[static_cast<std::size_t>(index)] =
                    patternByte(ask[0], static_cast<int>(ask[1]), index);
            }
            sendText(accepted, bytes);
        }
    });
    PatternPlan plan;
    plan.target = loopbackTarget(server.port);
    runOnFibers(kClients, patternClient, &plan);
    EXPECT_EQ(plan.rounds, kClients * kPatternRounds);
    EXPECT_EQ(plan.damaged, 0);
}

}  // namespace
