// The reporter thread: one progress line a second for the run time.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include "app/test_config.h"

struct LatencyWindow {
    std::uint64_t entryCount;  // latencies appended since the previous line
    std::uint64_t sumMs;       // their sum, milliseconds
};

// Sums the latencies appended since the last call and moves the reporter's
// read index past them; holds g_latencyLock for that alone.
LatencyWindow takeLatencyWindow();

// The text of one progress line, without its end of line.
std::string formatProgressLine(std::uint64_t cumulativeRequests, std::uint64_t secondRequests,
                               double windowMeanMs);

// Writes durationSec lines at the run's start + 1 s, + 2 s, ... to out, then
// returns; at once when durationSec is below 1. runStartNs is on the monotonic
// clock, and may lie ahead (a run that starts at a set instant).
void progressReporter(const TestConfig& config, std::int64_t runStartNs, std::ostream& out);
