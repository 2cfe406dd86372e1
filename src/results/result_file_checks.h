// The checks that tie a result file's parts together: the totals that must
// agree, and the order and sum of each sparse series of latency counts.
#pragma once

#include <cstdint>
#include <string>

#include "stats/run_result.h"

// What is wrong with the next [start, count] pair of a sparse count series.
enum class SeriesFault {
    none,          // the pair extends the series
    notAscending,  // a count of 0, or a start not above the one before
    tooMany,       // the counts would add up to more than 2^64 requests
};

// A sparse series of [start, count] pairs as far as it has been read.
struct CountSeries {
    std::uint64_t total = 0;      // requests counted by the pairs so far
    std::uint64_t lastStart = 0;  // start of the last pair, in the series' unit (ms or µs)
    bool empty = true;            // true until the first pair is taken
};

// Takes the pair into series, or leaves series as it was and says why not.
SeriesFault extendSeries(CountSeries& series, std::uint64_t start, std::uint64_t count);

// Whether the fine counts count as many requests as the whole milliseconds:
// both count every completed request once.
bool fineCountsAgree(const RunResult& result);

// Every completed request has one latency and one status class, so the three
// totals agree in any file velkor wrote; a file where they do not has been
// damaged or edited, and its summary would contradict itself. Otherwise sets
// problem to what does not add up.
bool totalsAgree(const RunResult& result, std::string& problem);
