// The --metrics endpoint: a thread of its own with one loop that accepts
// scrapes, answers GET /metrics with the run's figures and closes each
// connection. Every connection is bounded in bytes and in time, so a slow or
// hostile scraper holds up neither the clients nor the loop.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "config/test_config.h"
#include "metrics/metrics_text.h"

struct MetricsServer {
    SOCKET listener = INVALID_SOCKET;            // listening on --metrics; invalid without it
    const TestConfig* config = nullptr;          // the run's settings; they outlive the server
    MetricsLabels labels{};                      // the run's labels, made once
    std::thread thread{};                        // the serving loop, from start to stop
    std::atomic<bool> stopping{false};           // set once: the loop ends at its next wake-up
    std::atomic<bool> runEnded{false};           // set once every client has ended
    std::atomic<std::uint64_t> finalScrapes{0};  // scrapes answered once the run had ended
};

// Binds the --metrics address before the run, as --save's file is checked,
// so a busy port or a foreign address stops velkor with one line. True at
// once without --metrics (a --metrics-linger alone is refused).
bool openMetricsServer(const TestConfig& config, MetricsServer& server);

// Starts the serving thread; true at once without --metrics. From here on
// the endpoint answers, with zeros until the run begins.
bool startMetricsServer(MetricsServer& server);

// The run has ended and its figures are final: keeps serving until a scrape
// has taken them, for at most lingerSec seconds, then stops.
void finishMetricsServer(MetricsServer& server, std::int32_t lingerSec);

// Stops the loop within one wake-up and closes every socket. Harmless
// without --metrics, or a second time.
void stopMetricsServer(MetricsServer& server);
