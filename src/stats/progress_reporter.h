// The reporter thread: one progress line a second for the run time.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include "config/test_config.h"
#include "stats/latency_shard.h"
#include "stats/run_stats.h"

// The mean of the latencies recorded between two readings of the totals; 0
// when there were none.
double windowMeanMs(const LatencyTotals& before, const LatencyTotals& after);

// The text of one progress line, without its end of line.
std::string formatProgressLine(std::uint64_t cumulativeRequests, std::uint64_t secondRequests,
                               double windowMeanMs);

// The row of the series between two readings: completed requests, their
// mean latency, and the errors by kind and in all.
SecondSample sampleBetween(const SeriesReading& before, const SeriesReading& after);

// Writes durationSec lines at the run's start + 1 s, + 2 s, ... to out, keeping
// each line's figures in g_secondSamples, then returns; at once when
// durationSec is below 1. runStartNs is on the monotonic clock, and may lie
// ahead (a run that starts at a set instant).
void progressReporter(const TestConfig& config, std::int64_t runStartNs, std::ostream& out);

// Once every client and the reporter have ended: appends the series' last
// row, what completed or failed after the last progress line (the exchanges
// under way at the deadline, and any line written late), so the rows add up
// to the run's totals. Writes nothing to the console.
void closeSecondSeries();
