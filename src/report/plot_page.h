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

// The whole page: a heading naming the URL, the summary text, and charts of
// requests, mean latency and errors per second and of the latency distribution.
std::string plotPage(const RunResult& result);
