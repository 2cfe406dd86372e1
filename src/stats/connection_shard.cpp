#include "stats/connection_shard.h"

namespace {

// One writer: a plain read and write, no locked instruction.
void bump(std::atomic<std::uint64_t>& counter) {
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

}  // namespace

void addOpened(ConnectionShard& shard, std::int64_t connectNs, std::int64_t handshakeNs,
               bool reopen) {
    addFine(shard.connectTimes, connectNs);
    if (handshakeNs >= 0) addFine(shard.handshakeTimes, handshakeNs);
    if (reopen) bump(shard.reopened);
    bump(shard.opened);
}

void addServerClose(ConnectionShard& shard, ServerClose kind) {
    bump(shard.closes[static_cast<std::size_t>(kind)]);
}

void clearConnectionShard(ConnectionShard& shard) {
    shard.opened.store(0);
    shard.reopened.store(0);
    for (auto& count : shard.closes) count.store(0);
    clearFine(shard.connectTimes);
    clearFine(shard.handshakeTimes);
}

void addConnectionCounts(const ConnectionShard& shard, ConnectionFigures& figures,
                         std::vector<std::uint64_t>& connectSums,
                         std::vector<std::uint64_t>& handshakeSums) {
    figures.opened += shard.opened.load(std::memory_order_relaxed);
    figures.reopened += shard.reopened.load(std::memory_order_relaxed);
    for (std::size_t kind = 0; kind < kServerCloseCount; ++kind) {
        figures.closes[kind] += shard.closes[kind].load(std::memory_order_relaxed);
    }
    sumFine(shard.connectTimes, connectSums);
    sumFine(shard.handshakeTimes, handshakeSums);
}
