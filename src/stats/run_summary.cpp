#include "stats/run_summary.h"

#include <iterator>
#include <ostream>
#include <string>

#include "config/messages.h"
#include "platform/os/clock.h"
#include "stats/percentile_rule.h"

namespace {

struct SummaryLatencies {
    double meanMs;            // mean of all latencies, 0 when there are none
    std::uint32_t longestMs;  // largest latency, whole ms, 0 when there are none
};

// Runs saved before the sum at full resolution was kept average their whole
// milliseconds, as their own summary did.
SummaryLatencies sumLatencies(const RunResult& result) {
    const std::vector<LatencyBucket>& latencyCounts = result.latencyCounts;
    // The same 64-bit sum a list of every latency would give, so the mean is
    // the same double to the last bit.
    std::uint64_t sumMs = 0;
    std::uint64_t entries = 0;
    std::uint32_t longestMs = 0;
    for (const LatencyBucket& bucket : latencyCounts) {
        sumMs += static_cast<std::uint64_t>(bucket.latencyMs) * bucket.count;
        entries += bucket.count;
        if (bucket.count > 0 && bucket.latencyMs > longestMs) longestMs = bucket.latencyMs;
    }
    if (entries == 0) return {0.0, longestMs};
    const double meanMs =
        result.hasFineCounts
            ? result.latencySumNs / static_cast<double>(kNsPerMs) / static_cast<double>(entries)
            : static_cast<double>(sumMs) / static_cast<double>(entries);
    return {meanMs, longestMs};
}

static_assert(std::size(kErrorKindNames) == kErrorKindCount, "a name for every error kind");

// "(OS error 24 x3, 99 x2)" after the count of kind Other; codes of 0 say
// nothing and are left out.
std::string osErrorCodesText(const std::vector<OsErrorCount>& codes) {
    std::string text;
    for (const OsErrorCount& code : codes) {
        if (code.code == 0) continue;
        text += text.empty() ? std::string(kOsErrorCodesPrefix) : std::string(", ");
        text += std::to_string(code.code) + " x" + std::to_string(code.count);
    }
    return text.empty() ? text : text + ")";
}

}  // namespace

std::string errorsByKindText(const RunResult& result) {
    std::string text;
    for (std::size_t kind = 0; kind < kErrorKindCount; ++kind) {
        if (result.errorKinds[kind] == 0) continue;
        if (!text.empty()) text += ", ";
        text += std::string(kErrorKindNames[kind]) + " " + std::to_string(result.errorKinds[kind]);
        if (kind == static_cast<std::size_t>(ErrorKind::Other)) {
            text += osErrorCodesText(result.otherErrorCodes);
        }
    }
    return text;
}

std::uint32_t latencyPercentileMs(const std::vector<LatencyBucket>& latencyCounts, double percent) {
    const LatencyBucket* bucket = bucketAtPercentile(latencyCounts, percent);
    return bucket == nullptr ? 0 : bucket->latencyMs;
}

std::uint64_t unsuccessfulAnswers(const StatusClassCounts& classes) {
    return classes.status4xx + classes.status5xx + classes.other;
}

void printRunSummary(const RunResult& result, std::ostream& out) {
    const double durationSec = static_cast<double>(result.durationSec);
    const SummaryLatencies totals = sumLatencies(result);
    // Requests of the warm-up are in no figure, so neither is its time.
    const double effectiveRps = static_cast<double>(result.completed) /
                                (durationSec - static_cast<double>(result.warmupSec));
    const std::uint64_t unsuccessful = unsuccessfulAnswers(result.statusClasses);

    out << "\nTarget URL:          " << result.url << std::endl;
    out << "Max time (s):        " << result.durationSec << std::endl;
    if (result.warmupSec != 0) out << "Warm-up (s):         " << result.warmupSec << std::endl;
    if (!result.ratePlan.steps.empty()) {
        out << "Rate plan:           " << ratePlanText(result.ratePlan) << std::endl;
    }
    out << "Concurrent clients:  " << result.concurrency << std::endl;
    out << "Running on cores:    " << result.processorCount << std::endl;
    out << "Agent:               " << result.agentText << std::endl;
    out << "\nCompleted requests:  " << result.completed << std::endl;
    out << "Total errors:        " << result.errors << std::endl;
    if (unsuccessful > 0) out << "Non-2xx or 3xx responses: " << unsuccessful << std::endl;
    if (result.hasErrorKinds && result.errors > 0) {
        out << kErrorsByKindLabel << errorsByKindText(result) << std::endl;
    }
    out << "Total time:          " << durationSec << " s" << std::endl;
    out << "Mean latency:        " << totals.meanMs << " ms" << std::endl;
    out << "Effective rps:       " << effectiveRps << std::endl;
    out << "\nPercentage of requests served within a certain time" << std::endl;
    out << "  50%      " << latencyPercentileMs(result.latencyCounts, 50.0) << " ms" << std::endl;
    out << "  90%      " << latencyPercentileMs(result.latencyCounts, 90.0) << " ms" << std::endl;
    out << "  95%      " << latencyPercentileMs(result.latencyCounts, 95.0) << " ms" << std::endl;
    out << "  99%      " << latencyPercentileMs(result.latencyCounts, 99.0) << " ms" << std::endl;
    out << " 100%      " << totals.longestMs << " ms (longest request)" << std::endl;
}
