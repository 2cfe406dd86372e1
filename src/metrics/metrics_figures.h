// What a scrape shows, read from the run statistics as the progress line
// reads them: each thread's shard without a lock, nothing asked of the clients.
#pragma once

#include "config/test_config.h"
#include "metrics/metrics_text.h"

// The run's labels: --run-id, --agent, the URL and velkor's version.
MetricsLabels metricsLabelsOf(const TestConfig& config);

// The rate this process's clients are paced to now, requests a second: its
// share of the run's rate (all of it unless --agent splits the clients); 0
// for an unpaced run. The one place that says what the run aims at.
double targetRateNow(const TestConfig& config);

// The run's figures now; any thread, at any time.
MetricsFigures readMetricsFigures(const TestConfig& config);
