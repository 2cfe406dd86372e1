#include "http/exchange.h"

#include <functional>
#include <thread>
#include <vector>

#include "config/test_config.h"
#include "platform/os/clock.h"
#include "http/request_text.h"
#include "support/loopback.h"
#include "support/run_stats_reset.h"

namespace {

// One client connection to a scripted peer that runs in its own thread.
struct ScriptedPeer {
    SOCKET listener = INVALID_SOCKET;  // the peer's listening socket
    SOCKET client = INVALID_SOCKET;    // velkor's side of the connection
    std::thread peer;                  // runs the script on the accepted socket

    explicit ScriptedPeer(std::function<void(SOCKET)> script) {
        std::uint16_t port = 0;
        listener = listenOnLoopback(port);
        const TestConfig config = loopbackTarget(port);
        peer = std::thread([this, script] {
            const SOCKET accepted = acceptClient(listener);
            script(accepted);
            closesocket(accepted);
        });
        client = config.createConnection(monotonicNowNs() + 5 * kNsPerSec);
    }
    ~ScriptedPeer() {
        peer.join();
        if (client != INVALID_SOCKET) closesocket(client);
        closesocket(listener);
    }
};

const std::string kRequest = [] {
    TestConfig config;
    config.host = "127.0.0.1";
    config.path = "/";
    return buildRequestText(config);
}();

std::int64_t giveUpIn(std::int64_t ns) {
    return monotonicNowNs() + ns;
}

using Exchange = RunStatsTest;

TEST_F(Exchange, InvalidSocketCountsNothing) {
    ExchangeState state;
    EXPECT_EQ(sendRequest(INVALID_SOCKET, kRequest, state, giveUpIn(kNsPerSec)), -1);
    EXPECT_EQ(g_completedRequests, 0u);
    EXPECT_EQ(g_totalErrors, 0u);
}

TEST_F(Exchange, ReadsOneWholeResponsePerRequest) {
    std::string seenRequests;
    {
        ScriptedPeer peer([&](SOCKET s) {
            seenRequests += receiveRequestHeader(s);
            // Header and body split, the body's end arrives later.
            sendText(s, "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n01234");
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            sendText(s, "56789");
            seenRequests += receiveRequestHeader(s);
            sendText(s, "HTTP/1.1 204 No Content\r\n\r\n");
        });
        ASSERT_NE(peer.client, INVALID_SOCKET);
        ExchangeState state;
        const std::int64_t firstNs =
            sendRequest(peer.client, kRequest, state, giveUpIn(5 * kNsPerSec));
        EXPECT_GE(firstNs, 25 * kNsPerMs);  // measured to the body's last byte
        EXPECT_FALSE(state.reconnectNeeded);
        EXPECT_GE(sendRequest(peer.client, kRequest, state, giveUpIn(5 * kNsPerSec)), 0);
        EXPECT_FALSE(state.reconnectNeeded);
    }
    EXPECT_EQ(seenRequests, kRequest + kRequest);
    EXPECT_EQ(g_completedRequests, 2u);
    EXPECT_EQ(g_totalErrors, 0u);
}

struct CloseCase {
    const char* name;    // what the peer does
    const char* answer;  // bytes sent before the peer closes
    bool completes;      // whether the exchange counts as completed
    ErrorKind kind;      // the error's kind when it does not
};

TEST_F(Exchange, CloseCompletesOnlyABodyFramedByTheClose) {
    const CloseCase cases[] = {
        {"nothing", "", false, ErrorKind::ClosedEarly},
        {"half a header", "HTTP/1.1 200 OK\r\nContent-Le", false, ErrorKind::ClosedEarly},
        {"short length body", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123", false,
         ErrorKind::ClosedEarly},
        {"unfinished chunks", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab", false,
         ErrorKind::ClosedEarly},
        {"close framed", "HTTP/1.1 200 OK\r\n\r\nbody until close", true, ErrorKind::Other},
        {"announced close", "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 0\r\n\r\n",
         true, ErrorKind::Other},
        {"http 1.0", "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok", true, ErrorKind::Other},
        {"garbage", "NOT HTTP AT ALL\r\n\r\n", false, ErrorKind::Malformed},
    };
    for (const CloseCase& c : cases) {
        resetRunStats();
        ScriptedPeer peer([&](SOCKET s) {
            receiveRequestHeader(s);
            sendText(s, c.answer);
        });
        ExchangeState state;
        const std::int64_t result =
            sendRequest(peer.client, kRequest, state, giveUpIn(5 * kNsPerSec));
        EXPECT_EQ(result >= 0, c.completes) << c.name;
        EXPECT_EQ(g_completedRequests, c.completes ? 1u : 0u) << c.name;
        EXPECT_EQ(g_totalErrors, c.completes ? 0u : 1u) << c.name;
        ErrorKindCounts kinds{};
        if (!c.completes) kinds[static_cast<std::size_t>(c.kind)] = 1;
        EXPECT_EQ(errorKindCounts(), kinds) << c.name;
        EXPECT_TRUE(state.reconnectNeeded) << c.name;
    }
}

TEST_F(Exchange, StrayBytesAfterTheResponseRetireTheConnection) {
    ScriptedPeer peer([](SOCKET s) {
        receiveRequestHeader(s);
        sendText(s, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nokEXTRA");
        receiveRequestHeader(s);
    });
    ExchangeState state;
    EXPECT_GE(sendRequest(peer.client, kRequest, state, giveUpIn(5 * kNsPerSec)), 0);
    EXPECT_TRUE(state.reconnectNeeded);
    shutdown(peer.client, 1);
}

TEST_F(Exchange, SilentServerIsAbandonedAtTheGiveUpInstant) {
    ScriptedPeer peer([](SOCKET s) {
        receiveRequestHeader(s);
        receiveRequestHeader(s);  // returns when the client side closes
    });
    ExchangeState state;
    const std::int64_t startNs = monotonicNowNs();
    EXPECT_EQ(sendRequest(peer.client, kRequest, state, startNs + 300 * kNsPerMs), -1);
    const std::int64_t tookNs = monotonicNowNs() - startNs;
    EXPECT_GE(tookNs, 290 * kNsPerMs);
    EXPECT_LT(tookNs, 3 * kNsPerSec);
    EXPECT_EQ(g_totalErrors, 1u);
    EXPECT_EQ(errorKindCounts()[static_cast<std::size_t>(ErrorKind::ResponseUnanswered)], 1u);
    EXPECT_EQ(g_completedRequests, 0u);
    shutdown(peer.client, 2);
}

// The latency runs from before the request is sent: a peer that reads it
// only after a pause makes the exchange last at least that pause.
TEST_F(Exchange, LongRequestIsSentWhole) {
    constexpr int kReadDelayMs = 300;
    TestConfig config;
    config.host = "h";
    config.path = "/" + std::string(4 * 1024 * 1024, 'p');
    const std::string longRequest = buildRequestText(config);
    std::size_t receivedBytes = 0;
    std::int64_t latencyNs = -1;
    {
        ScriptedPeer peer([&](SOCKET s) {
            // Once the request begins to arrive, read nothing for a while, so
            // the client's send buffer fills up.
            char first = 0;
            recv(s, &first, 1, MSG_PEEK);
            std::this_thread::sleep_for(std::chrono::milliseconds(kReadDelayMs));
            receivedBytes = receiveRequestHeader(s).size();
            sendText(s, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
        });
        ExchangeState state;
        latencyNs = sendRequest(peer.client, longRequest, state, giveUpIn(20 * kNsPerSec));
    }
    EXPECT_EQ(receivedBytes, longRequest.size());
    // Below the pause by a margin for the peer's first peek.
    EXPECT_GE(latencyNs, (kReadDelayMs - 50) * kNsPerMs);
    EXPECT_EQ(g_completedRequests, 1u);
}

// A 1 MiB body to a peer that reads nothing for 300 ms: far more than the
// socket buffers hold, so the send must wait for the peer. The latency starts
// before the send and covers that wait; started after it, it would be about 0.
TEST_F(Exchange, LatencyCoversTheSendOfALargeBodyToASlowReader) {
    TestConfig config;
    config.host = "127.0.0.1";
    config.path = "/upload";
    config.method = "POST";
    config.bodyPath = "body.bin";
    std::string body(1 << 20, '\0');
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i % 26);
    const std::string request = buildRequestText(config, body);
    std::string received;
    std::int64_t latencyNs = -1;
    {
        ScriptedPeer peer([&](SOCKET s) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            received = receiveRequestHeader(s);
            std::vector<char> buffer(64 * 1024);
            while (received.size() < request.size()) {
                const auto got = recv(s, buffer.data(), static_cast<int>(buffer.size()), 0);
                if (got <= 0) break;
                received.append(buffer.data(), static_cast<std::size_t>(got));
            }
            sendText(s, "HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n");
        });
        // A fixed send buffer, so that the system cannot grow it to hold the body.
        const int sendBufferBytes = 64 * 1024;
        setsockopt(peer.client, SOL_SOCKET, SO_SNDBUF,
                   reinterpret_cast<const char*>(&sendBufferBytes), sizeof sendBufferBytes);
        ExchangeState state;
        latencyNs = sendRequest(peer.client, request, state, giveUpIn(20 * kNsPerSec));
    }
    EXPECT_GE(latencyNs, 290 * kNsPerMs);
    EXPECT_EQ(received.size(), request.size());
    EXPECT_TRUE(received == request) << "the peer received other bytes than the request";
    EXPECT_EQ(g_completedRequests, 1u);
}

TEST(RequestText, HoldsThreeLinesAndTheEmptyLine) {
    TestConfig config{.url = "", .host = "127.0.0.1", .path = "/", .port = 3000};
    EXPECT_EQ(buildRequestText(config),
              "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: keep-alive\r\n\r\n");
    EXPECT_EQ(buildRequestText(config).size(), 59u);
    config.host = "";
    config.path = "/a?b=1#c";
    EXPECT_EQ(buildRequestText(config),
              "GET /a?b=1#c HTTP/1.1\r\nHost: \r\nConnection: keep-alive\r\n\r\n");
}

TEST_F(Exchange, CountsFinalAnswersByStatusClass) {
    const char* answers[] = {
        "HTTP/1.1 103 Early Hints\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n",
        "HTTP/1.1 301 Moved Permanently\r\nContent-Length: 0\r\n\r\n",
        "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n",
        "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n",
        "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n",
        "NOT HTTP AT ALL\r\n\r\n",
    };
    ScriptedPeer peer([&](SOCKET s) {
        for (const char* answer : answers) {
            receiveRequestHeader(s);
            sendText(s, answer);
        }
    });
    ExchangeState state;
    for (std::size_t i = 0; i + 1 < std::size(answers); ++i) {
        EXPECT_GE(sendRequest(peer.client, kRequest, state, giveUpIn(5 * kNsPerSec)), 0) << i;
    }
    EXPECT_EQ(sendRequest(peer.client, kRequest, state, giveUpIn(5 * kNsPerSec)), -1);
    const StatusClassCounts classes = statusClassCounts();
    EXPECT_EQ(classes.status2xx, 1u);  // the interim 103 is no final answer
    EXPECT_EQ(classes.status3xx, 1u);
    EXPECT_EQ(classes.status4xx, 1u);
    EXPECT_EQ(classes.status5xx, 2u);
    EXPECT_EQ(classes.other, 0u);
    EXPECT_EQ(g_completedRequests, 5u);  // an error answer is still a completed request
    EXPECT_EQ(g_totalErrors, 1u);
}

}  // namespace
