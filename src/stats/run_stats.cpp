#include "stats/run_stats.h"

std::atomic<std::uint64_t> g_completedRequests{0};
std::atomic<std::uint64_t> g_totalErrors{0};
std::vector<std::uint32_t> g_latenciesMs;
CRITICAL_SECTION g_latencyLock;
std::size_t g_lastReportedIndex = 0;

void recordLatencyMs(std::uint32_t latencyMs) {
    EnterCriticalSection(&g_latencyLock);
    g_latenciesMs.push_back(latencyMs);
    LeaveCriticalSection(&g_latencyLock);
}
