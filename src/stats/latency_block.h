// The block of fine percentiles that --latency prints after the summary.
#pragma once

#include <iosfwd>
#include <span>
#include <string>
#include <vector>

#include "stats/run_result.h"

// The percentages of the block, in order.
inline constexpr double kLatencyBlockPercents[] = {50.0, 75.0,  90.0,   99.0,
                                                   99.9, 99.99, 99.999, 100.0};

// Whether the block has the second column: latency from the planned start.
bool showsPlannedLatency(const RunResult& result);

// Whole microseconds as milliseconds with three decimals, right-aligned in
// width characters: 412 us is "0.412".
std::string formatMicrosecondsAsMs(std::uint64_t us, int width);

// One line per percent: the percent, then the percentile of first and, when
// given, of second, each in ms with three decimals in a column of 10.
void printPercentileRows(std::span<const double> percents, const std::vector<FineBucket>& first,
                         const std::vector<FineBucket>* second, std::ostream& out);

// Writes the block: an empty line, the header, then one line per percentage
// with the percentage (three decimals and "%") and the latency in ms from the
// fine counts, by the summary's percentile rule; for a paced run a second
// latency column counted from each request's planned start.
void printLatencyBlock(const RunResult& result, std::ostream& out);
