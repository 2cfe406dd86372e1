// One worker thread's share of the run's measurements: exact latency counts
// per whole millisecond, fine latency counts, running totals and status
// classes. Only the owning
// thread writes a shard, so recording needs no lock and no locked instruction;
// any thread may read it at any time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "stats/connection_shard.h"
#include "stats/fine_counts.h"
#include "stats/run_result.h"

// Latencies below this are counted in pages of counters; larger ones, rare
// by far, in an exact sorted map.
inline constexpr std::uint32_t kDenseLatencyLimitMs = 65536;
// Milliseconds one page counts; a page is allocated when the first latency
// in its range arrives, so a shard costs only the ranges its latencies hit.
inline constexpr std::uint32_t kLatencyPageMs = 256;
inline constexpr std::uint32_t kLatencyPageCount = kDenseLatencyLimitMs / kLatencyPageMs;
// 2xx, 3xx, 4xx, 5xx and any other status code.
inline constexpr std::size_t kStatusClassCount = 5;

// Distinct OS error codes of kind Other one shard keeps, the last slot being
// code 0's ("none known"); codes past the others are counted there. Errors
// of that kind are rare and few.
inline constexpr std::size_t kOsErrorCodeSlots = 8;

// One OS error code of kind Other and its count. The owner writes the count
// before the code, so a reader that sees the code sees a count above 0.
struct OsErrorSlot {
    std::atomic<std::int64_t> code{-1};   // the OS error code; -1 while the slot is free
    std::atomic<std::uint64_t> count{0};  // errors with that code
};

// Aligned to a cache line, like the shard: another thread's counters never
// share a line with this one's.
struct alignas(64) LatencyPage {
    std::atomic<std::uint64_t> counts[kLatencyPageMs];  // requests per millisecond of the page
};

// Sum and number of the latencies recorded so far.
struct LatencyTotals {
    std::uint64_t count = 0;  // latencies recorded
    double sumNs = 0;         // their sum at full resolution, nanoseconds (a double: the
                              // sum over many threads may pass 64 bits in a long run)
};

struct alignas(64) LatencyShard {
    LatencyShard() = default;
    LatencyShard(const LatencyShard&) = delete;
    LatencyShard& operator=(const LatencyShard&) = delete;
    ~LatencyShard();

    // Odd while the owner updates count and sumNs, so that a reader never
    // pairs the count of one latency with the sum of another.
    std::atomic<std::uint64_t> sequence{0};
    std::atomic<std::uint64_t> count{0};                    // latencies recorded
    std::atomic<std::uint64_t> sumNs{0};                    // their sum, nanoseconds
    std::atomic<LatencyPage*> pages[kLatencyPageCount]{};   // null until its range is hit
    mutable std::mutex overflowLock;                        // guards overflowCounts
    std::map<std::uint32_t, std::uint64_t> overflowCounts;  // latency ms -> requests, large ones
    std::atomic<std::uint64_t> statusClasses[kStatusClassCount]{};  // 2xx, 3xx, 4xx, 5xx, other
    FineCounts sentCounts;     // fine latency counts from the send
    FineCounts plannedCounts;  // paced runs: fine counts from the planned start
    std::atomic<std::uint64_t> errorKinds[kErrorKindCount]{};  // errors, indexed by ErrorKind
    OsErrorSlot otherCodes[kOsErrorCodeSlots];                 // kind Other by OS error code
    ConnectionShard connections;  // the connections this thread's clients opened and lost
};

// Owner thread only.
void addLatency(LatencyShard& shard, std::int64_t latencyNs);
void addPlannedLatency(LatencyShard& shard, std::int64_t latencyNs);
void addStatusCode(LatencyShard& shard, int statusCode);
// One error of this kind; osErrorCode is kept for kind Other only.
void addError(LatencyShard& shard, ErrorKind kind, std::int64_t osErrorCode);
// Forgets everything recorded; only while no thread records into the shard.
void clearShard(LatencyShard& shard);

// Any thread.
LatencyTotals readTotals(const LatencyShard& shard);
StatusClassCounts readStatusClasses(const LatencyShard& shard);
// Adds the shard's errors by kind, and those of kind Other by code, to the sums.
void addErrorKinds(const LatencyShard& shard, ErrorKindCounts& sums);
void addOtherErrorCodes(const LatencyShard& shard, std::map<std::int64_t, std::uint64_t>& sums);
// The exact latency counts of all shards together, ascending and sparse.
std::vector<LatencyBucket> mergeLatencyCounts(const std::vector<const LatencyShard*>& shards);
// The fine counts of all shards together, from the send or from the planned start.
std::vector<FineBucket> mergeFineCounts(const std::vector<const LatencyShard*>& shards,
                                        bool fromPlannedStart);
