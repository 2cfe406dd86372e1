// Result records built from plain latency lists, for the report tests.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "results/saved_run.h"
#include "stats/fine_counts.h"

// Sparse ascending counts of a list of latencies.
inline std::vector<LatencyBucket> countsOf(const std::vector<std::uint32_t>& latenciesMs) {
    std::map<std::uint32_t, std::uint64_t> counts;
    for (std::uint32_t latencyMs : latenciesMs) ++counts[latencyMs];
    std::vector<LatencyBucket> buckets;
    for (const auto& [latencyMs, count] : counts) buckets.push_back({latencyMs, count});
    return buckets;
}

// Fine counts of a list of whole-millisecond latencies.
inline std::vector<FineBucket> fineCountsOf(const std::vector<std::uint32_t>& latenciesMs) {
    std::map<std::uint64_t, std::uint64_t> counts;
    for (std::uint32_t latencyMs : latenciesMs) {
        ++counts[fineBucketLowUs(
            fineBucketIndex(static_cast<std::int64_t>(latencyMs) * 1'000'000))];
    }
    std::vector<FineBucket> buckets;
    for (const auto& [lowUs, count] : counts) buckets.push_back({lowUs, count});
    return buckets;
}

// A plain run of durationSec seconds whose requests took latenciesMs; each
// second of the series gets an equal share of them. startUnixNs tells runs apart.
inline SavedRun savedRunWith(const std::vector<std::uint32_t>& latenciesMs,
                             std::int64_t startUnixNs = 1'765'000'000'000'000'000,
                             std::int32_t durationSec = 3) {
    SavedRun run;
    RunResult& result = run.result;
    result.url = "http://127.0.0.1:3000/";
    result.durationSec = durationSec;
    result.concurrency = 4;
    run.wholeConcurrency = 4;
    result.processorCount = 2;
    result.startUnixNs = startUnixNs;
    result.endUnixNs = startUnixNs + durationSec * 1'000'000'000LL;
    result.completed = latenciesMs.size();
    result.errors = latenciesMs.size() % 3;
    result.statusClasses.status2xx = latenciesMs.size();
    result.latencyCounts = countsOf(latenciesMs);
    result.hasFineCounts = true;
    result.fineCounts = fineCountsOf(latenciesMs);
    for (std::uint32_t latencyMs : latenciesMs) result.latencySumNs += latencyMs * 1e6;
    // An equal share a second; the rest, and the errors (connections closed
    // early), in the last row, as a run counts what ends after its last line.
    const std::uint64_t share = durationSec > 0 ? latenciesMs.size() / durationSec : 0;
    for (std::int32_t second = 0; second < durationSec; ++second) {
        result.seconds.push_back({share, 1.5 + second, 0});
    }
    SecondSample tail{latenciesMs.size() - share * durationSec, 0.5, result.errors};
    tail.errorKinds[static_cast<std::size_t>(ErrorKind::ClosedEarly)] = result.errors;
    result.seconds.push_back(tail);
    result.hasErrorKinds = true;
    result.errorKinds = tail.errorKinds;
    return run;
}

// Agent index of count of a run of wholeConcurrency clients.
inline SavedRun agentRun(std::int32_t index, std::int32_t count, std::int32_t wholeConcurrency,
                         const std::vector<std::uint32_t>& latenciesMs = {5, 7}) {
    SavedRun run = savedRunWith(latenciesMs, 1'765'000'000'000'000'000 + index);
    run.agentIndex = index;
    run.agentCount = count;
    run.wholeConcurrency = wholeConcurrency;
    // Clients whose index i has i mod count = index - 1.
    run.result.concurrency = wholeConcurrency >= index ? (wholeConcurrency - index) / count + 1 : 0;
    run.result.agentText = std::to_string(index) + "/" + std::to_string(count);
    return run;
}
