// What a scrape shows, read from the run statistics as the progress line
// reads them: each thread's shard without a lock, nothing asked of the clients.
#pragma once

#include "config/test_config.h"
#include "metrics/metrics_text.h"

// The run's labels: --run-id, --agent, the URL and velkor's version.
MetricsLabels metricsLabelsOf(const TestConfig& config);

// The rate this process's clients are paced to at nowNs (monotonic clock),
// requests a second: its share (all of it unless --agent splits the clients)
// of -q, or of the --rate-plan's rate at that point of the run; 0 for an
// unpaced run. The one place that says what the run aims at.
double targetRateNow(const TestConfig& config, std::int64_t nowNs);

// The run's figures now; any thread, at any time.
MetricsFigures readMetricsFigures(const TestConfig& config);
