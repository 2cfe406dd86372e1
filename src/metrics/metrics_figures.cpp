#include "metrics/metrics_figures.h"

#include "config/client_share.h"
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

double targetRateNow(const TestConfig& config) {
    if (config.targetQps <= 0 || config.concurrency <= 0) return 0;
    // Each client takes every concurrency-th planned start of the whole run.
    return static_cast<double>(config.targetQps) * localClientCount(config) / config.concurrency;
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
    figures.targetRate = targetRateNow(config);
    figures.paced = config.targetQps > 0;
    if (figures.paced) figures.plannedCounts = fineLatencyCounts(true);
    return figures;
}
