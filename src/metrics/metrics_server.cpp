#include "metrics/metrics_server.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <system_error>
#include <vector>

#include "config/messages.h"
#include "metrics/metrics_figures.h"
#include "metrics/scrape_request.h"
#include "platform/listen/listen_socket.h"
#include "platform/os/clock.h"
#include "platform/platform.h"

namespace {

// Connections served at once. When one more comes, the oldest is dropped:
// scrapers that send nothing cannot crowd out one that asks.
constexpr std::size_t kMostConnections = 16;
// From accepting a connection to having its whole request head.
constexpr std::int64_t kRequestBudgetNs = 2 * kNsPerSec;
// Sending one answer, to a scraper that does not read.
constexpr std::int64_t kSendBudgetNs = 1 * kNsPerSec;
// The loop wakes at least this often to see whether it must stop.
constexpr int kWakeMs = 50;

struct ScrapeConnection {
    SOCKET socket;            // the scraper's connection, non-blocking
    std::string received;     // its request's bytes so far, at most the head limit
    std::int64_t deadlineNs;  // the request head must be in by then, monotonic clock
};

// Reads what has arrived, up to the head limit. False once the peer has
// closed or the connection failed.
bool receiveWaiting(ScrapeConnection& connection) {
    char chunk[4096];
    while (connection.received.size() < kScrapeHeadLimitBytes) {
        const std::size_t room =
            std::min(sizeof chunk, kScrapeHeadLimitBytes - connection.received.size());
        const auto got = recv(connection.socket, chunk, static_cast<int>(room), 0);
        if (got <= 0) return got < 0 && lastSocketCallWouldBlock();
        connection.received.append(chunk, static_cast<std::size_t>(got));
    }
    return true;
}

// Sends the whole answer within the send budget. False when it could not.
bool sendAnswer(SOCKET socket, const std::string& answer) {
    const std::int64_t deadlineNs = monotonicNowNs() + kSendBudgetNs;
    std::size_t sent = 0;
    while (sent < answer.size()) {
        const auto wrote =
            send(socket, answer.data() + sent, static_cast<int>(answer.size() - sent), 0);
        if (wrote > 0) {
            sent += static_cast<std::size_t>(wrote);
            continue;
        }
        if (wrote < 0 && !lastSocketCallWouldBlock()) return false;
        const std::int64_t leftMs = (deadlineNs - monotonicNowNs()) / kNsPerMs;
        if (leftMs <= 0 || waitForSocket(socket, SocketWait::Writable, static_cast<int>(leftMs)) !=
                               WaitResult::Ready) {
            return false;
        }
    }
    return true;
}

// Answers a request whose route is known, and closes its connection.
void answerAndClose(MetricsServer& server, ScrapeConnection& connection, ScrapeRoute route) {
    std::string body;
    // Read before the figures: an answer counts as final only if they were.
    const bool final = server.runEnded.load();
    if (route == ScrapeRoute::Metrics) {
        body = metricsText(server.labels, readMetricsFigures(*server.config));
    }
    const bool sent = sendAnswer(connection.socket, scrapeAnswer(route, body));
    if (sent && final && route == ScrapeRoute::Metrics) server.finalScrapes.fetch_add(1);
    closeAfterAnswer(connection.socket);
}

// Serves the connections the wait found readable: answers those whose
// request is whole or refused, and keeps the others.
void serveReadable(MetricsServer& server, std::vector<ScrapeConnection>& open,
                   const bool* readable) {
    std::vector<ScrapeConnection> kept;
    for (std::size_t i = 0; i < open.size(); ++i) {
        ScrapeConnection& connection = open[i];
        if (!readable[i]) {
            kept.push_back(std::move(connection));
            continue;
        }
        const bool stillOpen = receiveWaiting(connection);
        const ScrapeRoute route = routeOf(connection.received);
        if (route != ScrapeRoute::Incomplete) {
            answerAndClose(server, connection, route);
        } else if (!stillOpen) {
            closesocket(connection.socket);
        } else {
            kept.push_back(std::move(connection));
        }
    }
    open = std::move(kept);
}

// Takes the connections waiting on the listener, dropping the oldest when full.
void acceptWaitingConnections(SOCKET listener, std::vector<ScrapeConnection>& open) {
    for (std::size_t taken = 0; taken < kMostConnections; ++taken) {
        const SOCKET socket = acceptWaiting(listener);
        if (socket == INVALID_SOCKET) return;
        if (open.size() == kMostConnections) {
            closesocket(open.front().socket);
            open.erase(open.begin());
        }
        open.push_back({socket, {}, monotonicNowNs() + kRequestBudgetNs});
    }
}

// Refuses the connections whose request head is late: a 400 when part of
// one came, a plain close when nothing did.
void refuseLate(MetricsServer& server, std::vector<ScrapeConnection>& open) {
    const std::int64_t nowNs = monotonicNowNs();
    std::erase_if(open, [&](ScrapeConnection& connection) {
        if (connection.deadlineNs > nowNs) return false;
        if (connection.received.empty()) {
            closesocket(connection.socket);
        } else {
            answerAndClose(server, connection, ScrapeRoute::BadRequest);
        }
        return true;
    });
}

// Until the nearest deadline, and never longer than a wake-up.
int waitMs(const std::vector<ScrapeConnection>& open) {
    std::int64_t waitNs = kWakeMs * kNsPerMs;
    const std::int64_t nowNs = monotonicNowNs();
    for (const ScrapeConnection& connection : open) {
        waitNs = std::min(waitNs, connection.deadlineNs - nowNs);
    }
    return waitNs <= 0 ? 0 : static_cast<int>((waitNs + kNsPerMs - 1) / kNsPerMs);
}

void serve(MetricsServer& server) {
    std::vector<ScrapeConnection> open;
    SOCKET sockets[kMostConnections + 1];
    bool readable[kMostConnections + 1];
    while (!server.stopping.load()) {
        sockets[0] = server.listener;
        for (std::size_t i = 0; i < open.size(); ++i) sockets[i + 1] = open[i].socket;
        const int found = waitForReadable(sockets, readable, open.size() + 1, waitMs(open));
        // A wait that fails at once must not turn the loop into a busy one.
        if (found < 0) std::this_thread::sleep_for(std::chrono::milliseconds(kWakeMs));
        if (found > 0) {
            serveReadable(server, open, readable + 1);
            if (readable[0]) acceptWaitingConnections(server.listener, open);
        }
        refuseLate(server, open);
    }
    for (const ScrapeConnection& connection : open) closesocket(connection.socket);
}

std::string_view listenFailureText(ListenFailure failure) {
    switch (failure) {
        case ListenFailure::InUse:
            return kMetricsAddressInUse;
        case ListenFailure::NotLocal:
            return kMetricsAddressNotLocal;
        case ListenFailure::None:
        case ListenFailure::Other:
            break;
    }
    return kMetricsListenRefused;
}

}  // namespace

bool openMetricsServer(const TestConfig& config, MetricsServer& server) {
    if (config.metricsAddress.empty()) {
        if (config.metricsLingerSec < 0) return true;
        writeErrorLine(kMetricsLingerAlone);
        return false;
    }
    ListenFailure failure = ListenFailure::None;
    server.listener = openListeningSocket(config.metricsBind, failure);
    if (server.listener == INVALID_SOCKET) {
        writeErrorLine(std::string(kMetricsListenFailedPrefix) +
                       quoteForMessage(config.metricsAddress) +
                       std::string(listenFailureText(failure)));
        return false;
    }
    server.config = &config;
    server.labels = metricsLabelsOf(config);
    return true;
}

bool startMetricsServer(MetricsServer& server) {
    if (server.listener == INVALID_SOCKET) return true;
    try {
        server.thread = std::thread([&server] { serve(server); });
    } catch (const std::system_error&) {
        writeErrorLine(kMetricsThreadFailed);
        return false;
    }
    return true;
}

void finishMetricsServer(MetricsServer& server, std::int32_t lingerSec) {
    if (server.listener == INVALID_SOCKET) return;
    server.runEnded.store(true);
    const std::int64_t untilNs = monotonicNowNs() + std::max(lingerSec, 0) * kNsPerSec;
    while (server.finalScrapes.load() == 0 && monotonicNowNs() < untilNs) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stopMetricsServer(server);
}

void stopMetricsServer(MetricsServer& server) {
    server.stopping.store(true);
    if (server.thread.joinable()) server.thread.join();
    if (server.listener != INVALID_SOCKET) closesocket(server.listener);
    server.listener = INVALID_SOCKET;
}
