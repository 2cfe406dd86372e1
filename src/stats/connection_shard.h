// One worker thread's counts of the connections its clients opened and lost,
// and the fine counts of how long opening them took. Counted once per
// connection, never per request; only the owning thread writes.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "stats/fine_counts.h"
#include "stats/run_result.h"

struct ConnectionShard {
    std::atomic<std::uint64_t> opened{0};                    // connections opened
    std::atomic<std::uint64_t> reopened{0};                  // of those, after a client's first
    std::atomic<std::uint64_t> closes[kServerCloseCount]{};  // ended by the server, by ServerClose
    FineCounts connectTimes;                                 // TCP connect times
    FineCounts handshakeTimes;                               // TLS handshake times; https only
};

// Owner thread only. handshakeNs below 0: no TLS handshake (http).
void addOpened(ConnectionShard& shard, std::int64_t connectNs, std::int64_t handshakeNs,
               bool reopen);
void addServerClose(ConnectionShard& shard, ServerClose kind);
// Only while no thread records into the shard.
void clearConnectionShard(ConnectionShard& shard);

// Any thread: adds the shard's counts to figures, and its fine counts to
// per-bucket sums (see sumFine).
void addConnectionCounts(const ConnectionShard& shard, ConnectionFigures& figures,
                         std::vector<std::uint64_t>& connectSums,
                         std::vector<std::uint64_t>& handshakeSums);
