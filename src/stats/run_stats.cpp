#include "stats/run_stats.h"

#include <map>
#include <memory>
#include <mutex>

#include "platform/os/clock.h"

std::atomic<std::uint64_t> g_completedRequests{0};
std::atomic<std::uint64_t> g_totalErrors{0};
std::vector<SecondSample> g_secondSamples;
SeriesReading g_seriesReading;
std::atomic<std::int64_t> g_runStartUnixNs{0};
std::atomic<std::int64_t> g_runEndUnixNs{0};

namespace {

// Connections open now, the most open at once so far, and when all the
// clients first held one. A connection touches them twice in its life, a
// request never.
struct ConnectionGauge {
    std::atomic<std::int64_t> held{0};             // connections open now
    std::atomic<std::int64_t> mostHeld{0};         // the most open at once
    std::atomic<std::int64_t> allHeldAfterNs{-1};  // run start to all clients held; -1: not yet
    std::atomic<std::int64_t> runStartNs{0};       // the run's start, monotonic clock, ns
    std::atomic<std::int64_t> clients{0};          // clients this process runs
};
ConnectionGauge g_gauge;

// Every shard ever made, one per thread that recorded. A shard outlives its
// thread: a pool thread may end before the summary reads what it counted.
struct ShardRegistry {
    std::mutex lock;                                    // guards shards
    std::vector<std::unique_ptr<LatencyShard>> shards;  // in order of registration
};

ShardRegistry& registry() {
    static ShardRegistry instance;
    return instance;
}

LatencyShard& registerShard() {
    auto shard = std::make_unique<LatencyShard>();
    ShardRegistry& all = registry();
    std::lock_guard<std::mutex> guard(all.lock);
    all.shards.push_back(std::move(shard));
    return *all.shards.back();
}

// The lookup is a plain thread-local pointer; the registry's lock is taken
// once per thread, on its first record.
LatencyShard& threadShard() {
    thread_local LatencyShard* shard = nullptr;
    if (shard == nullptr) shard = &registerShard();
    return *shard;
}

std::vector<const LatencyShard*> allShards() {
    ShardRegistry& all = registry();
    std::lock_guard<std::mutex> guard(all.lock);
    std::vector<const LatencyShard*> shards;
    shards.reserve(all.shards.size());
    for (const auto& shard : all.shards) shards.push_back(shard.get());
    return shards;
}

}  // namespace

void recordLatencyNs(std::int64_t latencyNs) {
    addLatency(threadShard(), latencyNs);
}

void recordPlannedLatencyNs(std::int64_t latencyNs) {
    addPlannedLatency(threadShard(), latencyNs);
}

void recordSkippedStarts(std::int64_t firstLatencyNs, std::int64_t intervalNs, std::int64_t count) {
    LatencyShard& shard = threadShard();
    for (std::int64_t i = 0; i < count; ++i)
        addPlannedLatency(shard, firstLatencyNs - i * intervalNs);
}

void recordStatusCode(int statusCode) {
    addStatusCode(threadShard(), statusCode);
}

void recordError(ErrorKind kind, std::int64_t osErrorCode) {
    addError(threadShard(), kind, osErrorCode);
    g_totalErrors.fetch_add(1);
}

void recordConnectionOpened(std::int64_t connectNs, std::int64_t handshakeNs, bool reopen) {
    addOpened(threadShard().connections, connectNs, handshakeNs, reopen);
    const std::int64_t held = g_gauge.held.fetch_add(1) + 1;
    std::int64_t most = g_gauge.mostHeld.load();
    while (held > most && !g_gauge.mostHeld.compare_exchange_weak(most, held)) {
    }
    if (held == g_gauge.clients.load() && g_gauge.allHeldAfterNs.load() < 0) {
        std::int64_t never = -1;
        g_gauge.allHeldAfterNs.compare_exchange_strong(
            never, monotonicNowNs() - g_gauge.runStartNs.load());
    }
}

void recordConnectionClosed() {
    g_gauge.held.fetch_sub(1);
}

void recordServerClose(ServerClose kind) {
    addServerClose(threadShard().connections, kind);
}

void startConnectionCount(std::int64_t runStartNs, std::int64_t clients) {
    g_gauge.runStartNs.store(runStartNs);
    g_gauge.clients.store(clients);
}

std::int64_t runStartInstantNs() {
    return g_gauge.runStartNs.load();
}

ConnectionFigures connectionFigures() {
    ConnectionFigures figures;
    std::vector<std::uint64_t> connectSums;
    std::vector<std::uint64_t> handshakeSums;
    for (const LatencyShard* shard : allShards()) {
        addConnectionCounts(shard->connections, figures, connectSums, handshakeSums);
    }
    figures.connectCounts = sparseFine(connectSums);
    figures.handshakeCounts = sparseFine(handshakeSums);
    figures.mostHeld = static_cast<std::uint64_t>(g_gauge.mostHeld.load());
    figures.allHeldAfterNs = g_gauge.allHeldAfterNs.load();
    return figures;
}

std::uint64_t connectionsOpened() {
    std::uint64_t opened = 0;
    for (const LatencyShard* shard : allShards()) {
        opened += shard->connections.opened.load(std::memory_order_relaxed);
    }
    return opened;
}

LatencyTotals latencyTotals() {
    LatencyTotals totals;
    for (const LatencyShard* shard : allShards()) {
        const LatencyTotals part = readTotals(*shard);
        totals.count += part.count;
        totals.sumNs += part.sumNs;
    }
    return totals;
}

StatusClassCounts statusClassCounts() {
    StatusClassCounts classes;
    for (const LatencyShard* shard : allShards()) {
        const StatusClassCounts part = readStatusClasses(*shard);
        classes.status2xx += part.status2xx;
        classes.status3xx += part.status3xx;
        classes.status4xx += part.status4xx;
        classes.status5xx += part.status5xx;
        classes.other += part.other;
    }
    return classes;
}

std::vector<LatencyBucket> latencyCounts() {
    return mergeLatencyCounts(allShards());
}

std::vector<FineBucket> fineLatencyCounts(bool fromPlannedStart) {
    return mergeFineCounts(allShards(), fromPlannedStart);
}

ErrorKindCounts errorKindCounts() {
    ErrorKindCounts kinds{};
    for (const LatencyShard* shard : allShards()) addErrorKinds(*shard, kinds);
    return kinds;
}

std::vector<OsErrorCount> otherErrorCodes() {
    std::map<std::int64_t, std::uint64_t> sums;
    for (const LatencyShard* shard : allShards()) addOtherErrorCodes(*shard, sums);
    std::vector<OsErrorCount> codes;
    for (const auto& [code, count] : sums) {
        if (count > 0) codes.push_back({code, count});
    }
    return codes;
}

SeriesReading readSeries() {
    SeriesReading reading;
    reading.completed = g_completedRequests.load();
    reading.latency = latencyTotals();
    reading.errorKinds = errorKindCounts();
    reading.connects = connectionsOpened();
    const std::int64_t held = g_gauge.held.load();
    reading.held = held > 0 ? static_cast<std::uint64_t>(held) : 0;
    return reading;
}

void markRunStart() {
    g_runStartUnixNs.store(wallClockNowNs());
}

void markRunEnd() {
    g_runEndUnixNs.store(wallClockNowNs());
}

void resetRunStats() {
    g_completedRequests = 0;
    g_totalErrors = 0;
    g_secondSamples.clear();
    g_seriesReading = SeriesReading{};
    g_runStartUnixNs = 0;
    g_runEndUnixNs = 0;
    g_gauge.held = 0;
    g_gauge.mostHeld = 0;
    g_gauge.allHeldAfterNs = -1;
    g_gauge.clients = 0;
    ShardRegistry& all = registry();
    std::lock_guard<std::mutex> guard(all.lock);
    for (auto& shard : all.shards) clearShard(*shard);
}
