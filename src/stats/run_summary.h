// The closing report of a run, in English, from a finished run's figures.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "stats/run_result.h"

// The latency at percentage p of all counted requests: the entry at 0-based
// position floor(n * p / 100) of the sorted latencies, clamped to the last
// entry; 0 when there are none. latencyCounts is ascending and sparse.
std::uint32_t latencyPercentileMs(const std::vector<LatencyBucket>& latencyCounts, double percent);

// Answers that were neither 2xx nor 3xx.
std::uint64_t unsuccessfulAnswers(const StatusClassCounts& classes);

// The value of the "Errors by kind:" line: each kind with errors, in the
// order of ErrorKind, "TLS unfinished 4367, closed early 2", with the OS
// error codes of kind Other after its count.
std::string errorsByKindText(const RunResult& result);

// Writes the summary lines to out: the sixteen lines of every run; one more
// after "Total errors:" when some answers were neither 2xx nor 3xx; and
// after those, one of the errors by kind when there were errors and their
// kinds are known.
void printRunSummary(const RunResult& result, std::ostream& out);
