// The text a Prometheus server scrapes: the run's figures in the Prometheus
// text format, version 0.0.4. The format is small and fixed, so it is
// written here rather than taken from a client library.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "stats/run_result.h"

// The labels that name the run, the same in every scrape.
struct MetricsLabels {
    std::string runId{};    // --run-id; empty: no run_id label
    std::string agent{};    // --agent as "K/N"; empty: no agent label
    std::string url{};      // the URL argument, for velkor_run_info
    std::string version{};  // velkor's version, for velkor_run_info
};

// The run's figures at one instant: cumulative since the run began, except
// the gauges.
struct MetricsFigures {
    StatusClassCounts statusClasses{};        // completed requests by status class
    ErrorKindCounts errorKinds{};             // errors by kind
    std::uint64_t connectionsHeld = 0;        // connections open now
    std::uint64_t connects = 0;               // connections opened so far
    std::vector<FineBucket> sentCounts{};     // fine latency counts from the send
    double sentSumNs = 0;                     // the sum of those latencies, ns
    bool paced = false;                       // the run follows a target rate
    std::vector<FineBucket> plannedCounts{};  // paced: fine counts from the planned start
    double targetRate = 0;                    // requests a second this process aims at; 0: unpaced
};

// The histograms' upper bounds in microseconds, ascending, from 100 us to
// 10 s, four a decade (1, 1.8, 3.2 and 5.6 times a power of ten); +Inf follows.
std::span<const std::uint64_t> histogramBoundsUs();

// Per bound, then +Inf, the requests at or below it. A fine bucket counts
// toward the first bound above its smallest value; the bounds below 100 ms
// are fine bucket edges, so the figures are exact there and within 0.1 %
// above.
std::vector<std::uint64_t> cumulativeBuckets(const std::vector<FineBucket>& counts);

// The sum of fine counts' latencies in ns, each taken at its bucket's middle:
// for the planned latencies, whose exact sum is not kept.
double fineSumNs(const std::vector<FineBucket>& counts);

// A label value with backslash, double quote and line feed escaped.
std::string escapeLabelValue(std::string_view value);

// Seconds written exactly from whole microseconds: 180 -> "0.00018".
std::string secondsText(std::uint64_t us);

// The whole exposition text, each line ending in a line feed.
std::string metricsText(const MetricsLabels& labels, const MetricsFigures& figures);
