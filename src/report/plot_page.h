// The page of charts that velkor-report --plot writes: one self-contained HTML
// file with the charting library inside, for a browser without a network.
#pragma once

#include <string>

#include "stats/run_result.h"

// The latency at each tenth of a percent of the requests, 0 to 100, by the
// summary's own percentile rule; the 100 % point is the longest request.
struct PercentileCurve {
    std::vector<double> percent;           // 0, 0.1, ... 100
    std::vector<std::uint32_t> latencyMs;  // latency at that percentage, whole ms
};
PercentileCurve percentileCurve(const RunResult& result);

// The latency spectrum from the fine counts: the latency at percentage p
// plotted against 1/(1-p) on a log scale, so that 90, 99, 99.9 % ... are
// evenly spaced. Twenty points per factor of ten, up to 1/(1-p) = n for n
// requests, whose point is the longest request.
struct LatencySpectrum {
    std::vector<double> inverseTail;  // 1/(1-p): 1, 1.12, ... n
    std::vector<double> sentMs;       // latency from the send at p, ms (whole us)
    std::vector<double> plannedMs;    // from the planned start, paced runs; else empty
};
LatencySpectrum latencySpectrum(const RunResult& result);

// The whole page: a heading naming the URL, the summary text, and charts of
// requests, mean latency and errors per second and of the latency distribution.
std::string plotPage(const RunResult& result);
