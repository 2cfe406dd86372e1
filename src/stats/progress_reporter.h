// The reporter thread: one progress line a second for the run time.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include "config/test_config.h"
#include "stats/latency_shard.h"

// The mean of the latencies recorded between two readings of the totals; 0
// when there were none.
double windowMeanMs(const LatencyTotals& before, const LatencyTotals& after);

// The text of one progress line, without its end of line.
std::string formatProgressLine(std::uint64_t cumulativeRequests, std::uint64_t secondRequests,
                               double windowMeanMs);

// Writes durationSec lines at the run's start + 1 s, + 2 s, ... to out, keeping
// each line's figures in g_secondSamples, then returns; at once when
// durationSec is below 1. runStartNs is on the monotonic clock, and may lie
// ahead (a run that starts at a set instant).
void progressReporter(const TestConfig& config, std::int64_t runStartNs, std::ostream& out);
