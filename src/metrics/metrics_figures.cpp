#include "metrics/metrics_figures.h"

#include <algorithm>

#include "config/client_share.h"
#include "config/rate_plan.h"
#include "platform/os/clock.h"
#include "stats/run_stats.h"

namespace {

// Prometheus takes UTF-8 label values only, and a URL given in another
// encoding (the Windows console's code page) would make it refuse the whole
// scrape: bytes outside ASCII are percent-encoded, as a URL carries them.
std::string urlLabelValue(const std::string& url) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string value;
    for (const char c : url) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            value += c;
        } else {
            value += '%';
            value += kHex[byte >> 4];
            value += kHex[byte & 0xF];
        }
    }
    return value;
}

}  // namespace

MetricsLabels metricsLabelsOf(const TestConfig& config) {
    MetricsLabels labels;
    labels.runId = config.runId;
    if (config.agentCount > 0) {
        labels.agent = std::to_string(config.agentIndex) + "/" + std::to_string(config.agentCount);
    }
    labels.url = urlLabelValue(config.url);
    labels.version = VELKOR_VERSION;
    return labels;
}

double targetRateNow(const TestConfig& config, std::int64_t nowNs) {
    if (config.concurrency <= 0) return 0;
    // Each client takes every concurrency-th planned start of the whole run.
    const double share = static_cast<double>(localClientCount(config)) / config.concurrency;
    if (!config.ratePlan.steps.empty()) {
        // Before the start is known the plan's first rate is what comes.
        const std::int64_t startNs = runStartInstantNs();
        const std::int64_t offsetNs = startNs == 0 ? 0 : std::max<std::int64_t>(0, nowNs - startNs);
        return plannedRateAt(config.ratePlan, offsetNs) * share;
    }
    return config.targetQps > 0 ? static_cast<double>(config.targetQps) * share : 0;
}

MetricsFigures readMetricsFigures(const TestConfig& config) {
    MetricsFigures figures;
    const SeriesReading reading = readSeries();
    figures.statusClasses = statusClassCounts();
    figures.errorKinds = reading.errorKinds;
    figures.connectionsHeld = reading.held;
    figures.connects = reading.connects;
    figures.sentCounts = fineLatencyCounts(false);
    figures.sentSumNs = reading.latency.sumNs;
    figures.targetRate = targetRateNow(config, monotonicNowNs());
    figures.paced = config.targetQps > 0 || !config.ratePlan.steps.empty();
    if (figures.paced) figures.plannedCounts = fineLatencyCounts(true);
    return figures;
}
