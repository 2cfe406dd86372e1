#include "load/client_loop.h"

#include <cstdint>

#include "platform/os/clock.h"
#include "common/sleep_until.h"
#include "http/exchange.h"
#include "http/client_connection.h"
#include "load/pacing.h"
#include "stats/run_stats.h"

namespace {

struct ClientState {
    const TestConfig& config;            // the run's settings
    const RunWindow& window;             // the run's deadlines
    std::int32_t localIndex;             // place among this process's clients; picks the source
    ClientConnection connection{};       // the client's connection, or none
    ExchangeState exchange{};            // response framing carried between exchanges
    bool answered = false;               // the last exchange got its whole response
    std::int64_t answeredLatencyNs = 0;  // that exchange's latency from its send, ns
    TlsSession* tlsSession = nullptr;    // https: the session a reconnect resumes
};

void closeConnection(ClientState& client) {
    closeClientConnection(client.connection);
}

// Opens a new connection; false (one error counted) when it fails or is
// still pending when the run ends. A reconnect's TLS handshake begun in the
// run's last seconds and cut off by its end is no error: exchanges get the
// same grace past the end before they count as failed.
bool openConnection(ClientState& client, bool reconnect = true) {
    closeConnection(client);
    const std::int64_t quietAfterNs =
        reconnect ? client.window.connectGiveUpNs - kGiveUpGraceNs : INT64_MAX;
    client.connection =
        openClientConnection(client.config, client.window.connectGiveUpNs, client.localIndex,
                             client.tlsSession, quietAfterNs, reconnect);
    return client.connection.socket != INVALID_SOCKET;
}

// Stands for the planned start of an unpaced exchange, which has none.
constexpr std::int64_t kNoPlannedStart = INT64_MIN;

// Reopens the connection for a request about to go out. False when that
// fails, or when the connect ended at or after the deadline: no request starts
// once the run is over, however the connect went.
bool reopenBeforeDeadline(ClientState& client) {
    return openConnection(client) && monotonicNowNs() < client.window.deadlineNs;
}

// How a cycle left the client.
enum class CycleEnd {
    Again,    // it holds an open connection and may send again
    RunOver,  // the server closed the connection, and the run ended before a reconnect
    Failed,   // a reconnect failed before the deadline (already counted as an error)
};

// A reconnect that fails once the deadline has passed ends with the run: the
// starts the client skipped meanwhile are the run's last, not a failure's.
bool runOver(const ClientState& client) {
    return monotonicNowNs() >= client.window.deadlineNs;
}

// One exchange, with the reconnects it calls for. A paced exchange also
// counts its latency from plannedStartNs. The client holds an open connection
// on entry, and again when the cycle ends Again.
CycleEnd runCycle(const std::string& requestText, ClientState& client,
                  std::int64_t plannedStartNs) {
    const std::int64_t latencyNs = sendRequest(client.connection, requestText, client.exchange,
                                               client.window.exchangeGiveUpNs);
    client.answered = latencyNs >= 0;
    if (client.answered) {
        client.answeredLatencyNs = latencyNs;
        if (client.exchange.counted) recordLatencyNs(latencyNs);
        if (client.exchange.counted && plannedStartNs != kNoPlannedStart) {
            recordPlannedLatencyNs(client.exchange.responseEndNs - plannedStartNs);
        }
    }
    if (client.exchange.closedByServer) {
        recordServerClose(client.answered ? ServerClose::Announced : ServerClose::Reset);
    }
    if (!client.exchange.reconnectNeeded) return CycleEnd::Again;
    closeConnection(client);
    // A handshake the server refused late is a failed connect: the client
    // ends as it would have at the connect.
    if (client.exchange.handshakeRefused) return CycleEnd::Failed;
    // A closed or failed connection is reopened at once, unless no exchange
    // would follow: a paced client holds a connection between its planned
    // starts, as it would have without the close.
    if (runOver(client)) return CycleEnd::RunOver;
    if (openConnection(client)) return CycleEnd::Again;
    return runOver(client) ? CycleEnd::RunOver : CycleEnd::Failed;
}

void runUnpaced(const std::string& requestText, ClientState& client) {
    while (monotonicNowNs() < client.window.deadlineNs) {
        if (runCycle(requestText, client, kNoPlannedStart) != CycleEnd::Again) return;
    }
}

// Planned starts a client passed over, and when it could send again.
struct SkippedStarts {
    PacingStep step{0, 0, 0};  // how many, and the first of them
    std::int64_t freeNs = 0;   // when the client could send again, monotonic ns
};

// The starts a stall, a reconnect or a late first connect made this client
// skip are counted as an open-loop population would have seen them: each
// waited until the client could send (freeNs), then took as long from its
// send as the exchange the client sent next: the client's last answer when
// they are counted. So a stall's skipped starts reach its end plus one
// ordinary exchange, not twice the stall, and a start skipped by a reconnect
// still counts a whole exchange. A failed exchange, or one within the
// warm-up, gives them no latency.
// With a plan the starts are not evenly spaced: each counts from its own.
void countSkippedStarts(const ClientState& client, const PacingSchedule& schedule,
                        const SkippedStarts& skipped) {
    const PacingStep& step = skipped.step;
    const std::int64_t freeNs = skipped.freeNs;
    if (step.skippedStarts <= 0 || !client.answered || !client.exchange.counted) return;
    if (schedule.plan == nullptr) {
        recordSkippedStarts(freeNs - step.firstSkippedNs + client.answeredLatencyNs,
                            pacingIntervalNs(client.config), step.skippedStarts);
        return;
    }
    for (std::int64_t j = 0; j < step.skippedStarts; ++j) {
        recordPlannedLatencyNs(freeNs - skippedStartNs(schedule, step, j) +
                               client.answeredLatencyNs);
    }
}

// Sleeps to each planned start of the client's own grid, and at the end to
// the deadline, so the connection stays open for the whole run. A connection that sat idle is
// checked before it is used: a server's idle close is reopened, not an error.
// A client whose first connection opened late sends first for the latest
// start already past, as a late client does.
void runPaced(const std::string& requestText, std::int32_t globalIndex, ClientState& client) {
    PacingSchedule schedule = startPacing(client.config, globalIndex, client.window.startNs);
    const std::int64_t connectedNs = monotonicNowNs();
    // Only a client held back by --connect-rate starts on a later slot; any
    // other sends for its first planned start, however late, as it always has.
    // The starts before the first connection opened take the first answer.
    SkippedStarts skipped{{0, schedule.plannedStartNs, schedule.startIndex}, connectedNs};
    if (client.config.connectRate > 0) {
        skipped.step = catchUpPacing(schedule, connectedNs, client.window.deadlineNs);
    }
    while (schedule.plannedStartNs < client.window.deadlineNs) {
        const bool idle = monotonicNowNs() < schedule.plannedStartNs;
        sleepUntilNs(schedule.plannedStartNs);
        // No exchange starts once the run is over, however late the wake-up.
        if (runOver(client)) break;
        if (idle && client.connection.socket != INVALID_SOCKET &&
            connectionClosedWhileIdle(client.connection)) {
            recordServerClose(ServerClose::Idle);
            if (!reopenBeforeDeadline(client)) {
                if (!runOver(client)) return;
                break;
            }
        }
        const CycleEnd end = runCycle(requestText, client, schedule.plannedStartNs);
        // The starts skipped before this exchange went out take its answer.
        countSkippedStarts(client, schedule, skipped);
        if (end == CycleEnd::Failed) return;
        // Now, after any reconnect, is when the client could send again.
        skipped.freeNs = monotonicNowNs();
        skipped.step = advancePacing(schedule, skipped.freeNs, client.window.deadlineNs);
        if (end == CycleEnd::RunOver) break;
    }
    // No exchange follows the starts skipped at the run's end: they take the
    // last answer, the one they waited for.
    countSkippedStarts(client, schedule, skipped);
    sleepUntilNs(client.window.deadlineNs);
}

}  // namespace

void runClient(const ClientPlan& plan) {
    ClientState client{*plan.config, *plan.window, plan.localIndex};
    client.exchange.countFromNs = client.window.warmupEndNs;
    // With a connect rate the client sends nothing before its turn to open.
    sleepUntilNs(firstConnectNs(client.config, client.window, plan.globalIndex));
    // A client whose turn comes after the run's end opens nothing: there is no
    // time left in which it could send.
    if (monotonicNowNs() >= client.window.connectGiveUpNs) return;
    if (client.config.tlsContext != nullptr) client.tlsSession = createTlsSession();
    if (openConnection(client, false)) {
        const std::string& requestText = *client.config.requestText;
        if (pacedRun(client.config)) {
            runPaced(requestText, plan.globalIndex, client);
        } else {
            runUnpaced(requestText, client);
        }
        closeConnection(client);
    }
    freeTlsSession(client.tlsSession);
}

void CALLBACK clientWorkCallback(PTP_CALLBACK_INSTANCE, PVOID context, PTP_WORK work) {
    runClient(*static_cast<const ClientPlan*>(context));
    CloseThreadpoolWork(work);
}
