#include "load/client_loop.h"

#include "common/clock.h"
#include "common/sleep_until.h"
#include "http/exchange.h"
#include "http/request_text.h"
#include "load/pacing.h"
#include "stats/run_stats.h"

namespace {

struct ClientState {
    SOCKET socket = INVALID_SOCKET;  // the client's connection, or none
    std::int64_t deadlineNs = 0;     // no exchange starts at or after this instant
    std::int64_t giveUpNs = 0;       // pending attempts are abandoned at this instant
    ExchangeState exchange;          // response framing carried between exchanges
};

void closeConnection(ClientState& client) {
    if (client.socket != INVALID_SOCKET) closesocket(client.socket);
    client.socket = INVALID_SOCKET;
}

// One exchange, with the reconnects it calls for. False when the client is
// finished: a reconnect failed (already counted as an error).
bool runCycle(const TestConfig& config, const std::string& requestText, ClientState& client) {
    if (client.socket == INVALID_SOCKET) {
        // The previous response closed the connection, as the server announced.
        client.socket = config.createConnection(client.giveUpNs);
        if (client.socket == INVALID_SOCKET) return false;
    }
    const std::int32_t latencyMs =
        sendRequest(client.socket, requestText, client.exchange, client.giveUpNs);
    if (latencyMs >= 0) recordLatencyMs(static_cast<std::uint32_t>(latencyMs));
    if (!client.exchange.reconnectNeeded) return true;
    closeConnection(client);
    if (latencyMs >= 0) return true;
    // A failed exchange reconnects at once, unless no exchange would follow.
    if (monotonicNowNs() >= client.deadlineNs) return false;
    client.socket = config.createConnection(client.giveUpNs);
    return client.socket != INVALID_SOCKET;
}

}  // namespace

void runClient(const TestConfig& config) {
    ClientState client;
    const std::int64_t startNs = monotonicNowNs();
    client.deadlineNs = startNs + static_cast<std::int64_t>(config.durationSec) * kNsPerSec;
    // A run time of 0 or less still gives the first connect its grace.
    client.giveUpNs = (client.deadlineNs > startNs ? client.deadlineNs : startNs) + kGiveUpGraceNs;
    client.socket = config.createConnection(client.giveUpNs);
    if (client.socket == INVALID_SOCKET) return;

    const std::string requestText = buildRequestText(config);
    const std::int64_t intervalNs = pacingIntervalNs(config);
    std::int64_t plannedStartNs = monotonicNowNs();
    while (monotonicNowNs() < client.deadlineNs) {
        if (!runCycle(config, requestText, client)) break;
        if (intervalNs > 0) {
            plannedStartNs = nextPlannedStartNs(plannedStartNs, intervalNs, monotonicNowNs());
            // Sleeping past the deadline would only stretch the run.
            if (plannedStartNs >= client.deadlineNs) break;
            sleepUntilNs(plannedStartNs);
        }
    }
    closeConnection(client);
}

void CALLBACK clientWorkCallback(PTP_CALLBACK_INSTANCE, PVOID context, PTP_WORK work) {
    runClient(*static_cast<const TestConfig*>(context));
    CloseThreadpoolWork(work);
}
