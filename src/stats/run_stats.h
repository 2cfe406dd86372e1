// The state the threads of a run share. One process performs one run, so
// there is exactly one set and nothing is ever reset.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/platform.h"

// Exchanges that completed with a whole response.
extern std::atomic<std::uint64_t> g_completedRequests;
// Failed connection attempts and failed exchanges.
extern std::atomic<std::uint64_t> g_totalErrors;
// Latency of each completed exchange in whole milliseconds, in append order.
extern std::vector<std::uint32_t> g_latenciesMs;
// Guards g_latenciesMs and g_lastReportedIndex; the run driver creates it.
extern CRITICAL_SECTION g_latencyLock;
// Entries of g_latenciesMs the progress reporter has already summed.
extern std::size_t g_lastReportedIndex;

// Appends one latency under the lock, held for the append alone.
void recordLatencyMs(std::uint32_t latencyMs);
