#include "stats/final_summary.h"

#include <algorithm>
#include <ostream>

#include "stats/run_stats.h"

namespace {

struct LatencyTotals {
    double meanMs;            // mean of all latencies, 0 when there are none
    std::uint32_t longestMs;  // largest latency, 0 when there are none
};

LatencyTotals sumLatencies() {
    std::uint64_t sumMs = 0;
    std::uint32_t longestMs = 0;
    EnterCriticalSection(&g_latencyLock);
    for (std::uint32_t latencyMs : g_latenciesMs) {
        sumMs += latencyMs;
        longestMs = std::max(longestMs, latencyMs);
    }
    const double meanMs = g_latenciesMs.empty() ? 0.0
                                                : static_cast<double>(sumMs) /
                                                      static_cast<double>(g_latenciesMs.size());
    LeaveCriticalSection(&g_latencyLock);
    return {meanMs, longestMs};
}

std::uint32_t processorCount() {
    SYSTEM_INFO info{};
    GetNativeSystemInfo(&info);
    return static_cast<std::uint32_t>(info.dwNumberOfProcessors);
}

}  // namespace

std::uint32_t latencyPercentile(std::vector<std::uint32_t>& latenciesMs, double percent) {
    if (latenciesMs.empty()) return 0;
    // Later lookups find the list already in order and skip the sort.
    if (!std::is_sorted(latenciesMs.begin(), latenciesMs.end())) {
        std::sort(latenciesMs.begin(), latenciesMs.end());
    }
    const std::size_t count = latenciesMs.size();
    const double position = static_cast<double>(count) * percent / 100.0;
    auto index = static_cast<std::uint64_t>(position);
    if (index >= count) index = count - 1;
    return latenciesMs[index];
}

void printFinalSummary(const TestConfig& config, std::ostream& out) {
    const double durationSec = static_cast<double>(config.durationSec);
    const LatencyTotals totals = sumLatencies();
    const double effectiveRps = static_cast<double>(g_completedRequests.load()) / durationSec;

    EnterCriticalSection(&g_latencyLock);
    const std::uint32_t p50 = latencyPercentile(g_latenciesMs, 50.0);
    const std::uint32_t p90 = latencyPercentile(g_latenciesMs, 90.0);
    const std::uint32_t p95 = latencyPercentile(g_latenciesMs, 95.0);
    const std::uint32_t p99 = latencyPercentile(g_latenciesMs, 99.0);
    LeaveCriticalSection(&g_latencyLock);

    out << "\nTarget URL:          " << config.url << std::endl;
    out << "Max time (s):        " << config.durationSec << std::endl;
    out << "Concurrent clients:  " << config.concurrency << std::endl;
    out << "Running on cores:    " << processorCount() << std::endl;
    out << "Agent:               none" << std::endl;
    out << "\nCompleted requests:  " << g_completedRequests.load() << std::endl;
    out << "Total errors:        " << g_totalErrors.load() << std::endl;
    out << "Total time:          " << durationSec << " s" << std::endl;
    out << "Mean latency:        " << totals.meanMs << " ms" << std::endl;
    out << "Effective rps:       " << effectiveRps << std::endl;
    out << "\nPercentage of requests served within a certain time" << std::endl;
    out << "  50%      " << p50 << " ms" << std::endl;
    out << "  90%      " << p90 << " ms" << std::endl;
    out << "  95%      " << p95 << " ms" << std::endl;
    out << "  99%      " << p99 << " ms" << std::endl;
    out << " 100%      " << totals.longestMs << " ms (longest request)" << std::endl;
}
