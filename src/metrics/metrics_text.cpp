#include "metrics/metrics_text.h"

#include <algorithm>
#include <charconv>
#include <iterator>

#include "stats/fine_counts.h"

namespace {

constexpr std::uint64_t kBoundsUs[] = {
    100,   180,    320,    560,    1000,   1800,    3200,    5600,    10000,   18000,    32000,
    56000, 100000, 180000, 320000, 560000, 1000000, 1800000, 3200000, 5600000, 10000000,
};

constexpr std::string_view kStatusClassNames[] = {"2xx", "3xx", "4xx", "5xx", "other"};

// The error kinds' label values, in the order of ErrorKind: the result
// file's names, so a dashboard and a saved run say the same.
constexpr std::string_view kErrorKindLabels[] = {
    "connect_refused", "connect_unanswered", "tls_failed",          "tls_unfinished",
    "closed_early",    "malformed",          "response_unanswered", "other",
};
static_assert(std::size(kErrorKindLabels) == kErrorKindCount);

// Shortest text that reads back as the same double.
std::string numberText(double value) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return std::string(text, end);
}

// Builds the text; every sample carries the run's labels before its own.
struct Exposition {
    std::string runLabels;  // `run_id="..",agent=".."`, or empty
    std::string text;       // the text so far

    void family(std::string_view name, std::string_view type, std::string_view help) {
        text.append("# HELP ").append(name).append(" ").append(help).append("\n");
        text.append("# TYPE ").append(name).append(" ").append(type).append("\n");
    }

    void sample(std::string_view name, std::string_view ownLabels, std::string_view value) {
        text.append(name);
        if (!runLabels.empty() || !ownLabels.empty()) {
            text.append("{").append(runLabels);
            if (!runLabels.empty() && !ownLabels.empty()) text.append(",");
            text.append(ownLabels).append("}");
        }
        text.append(" ").append(value).append("\n");
    }

    void sample(std::string_view name, std::string_view ownLabels, std::uint64_t value) {
        sample(name, ownLabels, std::to_string(value));
    }

    void histogram(const std::string& name, std::string_view help,
                   const std::vector<FineBucket>& counts, double sumNs) {
        family(name, "histogram", help);
        const std::vector<std::uint64_t> cumulative = cumulativeBuckets(counts);
        for (std::size_t i = 0; i < std::size(kBoundsUs); ++i) {
            sample(name + "_bucket", "le=\"" + secondsText(kBoundsUs[i]) + "\"", cumulative[i]);
        }
        sample(name + "_bucket", "le=\"+Inf\"", cumulative.back());
        sample(name + "_sum", "", numberText(sumNs / 1e9));
        sample(name + "_count", "", cumulative.back());
    }
};

std::string label(std::string_view name, std::string_view value) {
    return std::string(name) + "=\"" + escapeLabelValue(value) + "\"";
}

std::string runLabelsOf(const MetricsLabels& labels) {
    std::string text;
    if (!labels.runId.empty()) text = label("run_id", labels.runId);
    if (!labels.agent.empty()) {
        if (!text.empty()) text += ',';
        text += label("agent", labels.agent);
    }
    return text;
}

void writeCounts(Exposition& out, const MetricsFigures& figures) {
    out.family("velkor_requests_total", "counter",
               "Requests completed with a whole response, by status class.");
    const StatusClassCounts& classes = figures.statusClasses;
    const std::uint64_t byClass[] = {classes.status2xx, classes.status3xx, classes.status4xx,
                                     classes.status5xx, classes.other};
    for (std::size_t i = 0; i < std::size(byClass); ++i) {
        out.sample("velkor_requests_total", label("status_class", kStatusClassNames[i]),
                   byClass[i]);
    }
    out.family("velkor_errors_total", "counter", "Failed connects and failed exchanges, by kind.");
    for (std::size_t kind = 0; kind < kErrorKindCount; ++kind) {
        out.sample("velkor_errors_total", label("kind", kErrorKindLabels[kind]),
                   figures.errorKinds[kind]);
    }
    out.family("velkor_connections_held", "gauge", "Connections open now.");
    out.sample("velkor_connections_held", "", figures.connectionsHeld);
    out.family("velkor_connects_total", "counter", "Connections opened, reconnects included.");
    out.sample("velkor_connects_total", "", figures.connects);
}

}  // namespace

std::span<const std::uint64_t> histogramBoundsUs() {
    return kBoundsUs;
}

std::vector<std::uint64_t> cumulativeBuckets(const std::vector<FineBucket>& counts) {
    std::vector<std::uint64_t> cumulative(std::size(kBoundsUs) + 1, 0);
    for (const FineBucket& bucket : counts) {
        const auto bound =
            std::upper_bound(std::begin(kBoundsUs), std::end(kBoundsUs), bucket.lowUs);
        cumulative[static_cast<std::size_t>(bound - std::begin(kBoundsUs))] += bucket.count;
    }
    for (std::size_t i = 1; i < cumulative.size(); ++i) cumulative[i] += cumulative[i - 1];
    return cumulative;
}

double fineSumNs(const std::vector<FineBucket>& counts) {
    double sumNs = 0;
    for (const FineBucket& bucket : counts) {
        const std::uint64_t index = fineBucketIndex(static_cast<std::int64_t>(bucket.lowUs) * 1000);
        const std::uint64_t highUs =
            index + 1 < kFineBucketCount ? fineBucketLowUs(index + 1) : bucket.lowUs + 1;
        sumNs += static_cast<double>(bucket.count) *
                 (static_cast<double>(bucket.lowUs + highUs) * 500.0);
    }
    return sumNs;
}

std::string escapeLabelValue(std::string_view value) {
    std::string escaped;
    escaped.reserve(value.size());
    for (const char c : value) {
        if (c == '\\') {
            escaped += "\\\\";
        } else if (c == '"') {
            escaped += "\\\"";
        } else if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::string secondsText(std::uint64_t us) {
    std::string text = std::to_string(us / 1000000);
    std::string fraction = std::to_string(us % 1000000 + 1000000).substr(1);
    fraction.erase(fraction.find_last_not_of('0') + 1);
    return fraction.empty() ? text : text + "." + fraction;
}

std::string metricsText(const MetricsLabels& labels, const MetricsFigures& figures) {
    Exposition out{runLabelsOf(labels), {}};
    writeCounts(out, figures);
    out.histogram("velkor_request_duration_seconds",
                  "Latency of completed requests, from the send to the response's last byte.",
                  figures.sentCounts, figures.sentSumNs);
    if (figures.paced) {
        out.histogram("velkor_planned_request_duration_seconds",
                      "Latency from each request's planned start; planned starts a late client "
                      "skipped count at the latency they would have had.",
                      figures.plannedCounts, fineSumNs(figures.plannedCounts));
    }
    out.family("velkor_target_rate", "gauge",
               "Requests a second this process is paced to now; 0 when unpaced.");
    out.sample("velkor_target_rate", "", numberText(figures.targetRate));
    out.family("velkor_run_info", "gauge", "The run's URL, run id, agent and velkor version.");
    out.sample("velkor_run_info", label("url", labels.url) + "," + label("version", labels.version),
               "1");
    return out.text;
}
