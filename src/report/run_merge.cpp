#include "report/run_merge.h"

#include <algorithm>
#include <limits>

#include "stats/percentile_rule.h"

namespace {

// total += value unless the sum leaves T's range.
template <typename T>
bool addTo(T& total, T value) {
    constexpr T kMost = std::numeric_limits<T>::max();
    if (value > 0 && total > kMost - value) return false;
    if constexpr (std::numeric_limits<T>::is_signed) {
        if (value < 0 && total < std::numeric_limits<T>::min() - value) return false;
    }
    total += value;
    return true;
}

bool addClasses(StatusClassCounts& total, const StatusClassCounts& more) {
    return addTo(total.status2xx, more.status2xx) && addTo(total.status3xx, more.status3xx) &&
           addTo(total.status4xx, more.status4xx) && addTo(total.status5xx, more.status5xx) &&
           addTo(total.other, more.other);
}

// The union of ascending sparse counts, ascending and sparse again.
bool addLatencyCounts(std::vector<LatencyBucket>& total, const std::vector<LatencyBucket>& more) {
    return addSparseCounts(total, more, [](const LatencyBucket& b) { return b.latencyMs; });
}

bool addFineCounts(std::vector<FineBucket>& total, const std::vector<FineBucket>& more) {
    return addSparseCounts(total, more, [](const FineBucket& b) { return b.lowUs; });
}

bool addKinds(ErrorKindCounts& total, const ErrorKindCounts& more) {
    for (std::size_t kind = 0; kind < kErrorKindCount; ++kind) {
        if (!addTo(total[kind], more[kind])) return false;
    }
    return true;
}

// Kind Other's OS codes, ascending and sparse, the same code's counts added.
bool addOtherCodes(std::vector<OsErrorCount>& total, const std::vector<OsErrorCount>& more) {
    std::vector<OsErrorCount> merged;
    std::size_t a = 0;
    std::size_t b = 0;
    while (a < total.size() || b < more.size()) {
        if (b == more.size() || (a < total.size() && total[a].code < more[b].code)) {
            merged.push_back(total[a++]);
        } else if (a == total.size() || more[b].code < total[a].code) {
            merged.push_back(more[b++]);
        } else {
            merged.push_back(total[a++]);
            if (!addTo(merged.back().count, more[b++].count)) return false;
        }
    }
    total = std::move(merged);
    return true;
}

// Second by second; the mean over both is weighted by each side's requests.
bool addSeconds(std::vector<SecondSample>& total, const std::vector<SecondSample>& more) {
    if (total.size() < more.size()) total.resize(more.size(), SecondSample{0, 0.0, 0});
    for (std::size_t i = 0; i < more.size(); ++i) {
        SecondSample& sum = total[i];
        const double weightedMs = sum.meanLatencyMs * static_cast<double>(sum.completed) +
                                  more[i].meanLatencyMs * static_cast<double>(more[i].completed);
        if (!addTo(sum.completed, more[i].completed) || !addTo(sum.errors, more[i].errors) ||
            !addKinds(sum.errorKinds, more[i].errorKinds) ||
            !addTo(sum.connectionsHeld, more[i].connectionsHeld) ||
            !addTo(sum.connects, more[i].connects)) {
            return false;
        }
        sum.meanLatencyMs =
            sum.completed == 0 ? 0.0 : weightedMs / static_cast<double>(sum.completed);
    }
    return true;
}

// Counts and fine counts add. Each agent held its own connections, so the
// most held at once add too (their peaks may not have coincided: the sum is
// the most the server can have held). All clients of the merge held one once
// every file's clients did: the latest of their times, never if any never.
bool addConnections(ConnectionFigures& total, const ConnectionFigures& more) {
    total.allHeldAfterNs = total.allHeldAfterNs < 0 || more.allHeldAfterNs < 0
                               ? -1
                               : std::max(total.allHeldAfterNs, more.allHeldAfterNs);
    for (std::size_t kind = 0; kind < kServerCloseCount; ++kind) {
        if (!addTo(total.closes[kind], more.closes[kind])) return false;
    }
    return addTo(total.opened, more.opened) && addTo(total.reopened, more.reopened) &&
           addTo(total.mostHeld, more.mostHeld) &&
           addFineCounts(total.connectCounts, more.connectCounts) &&
           addFineCounts(total.handshakeCounts, more.handshakeCounts);
}

bool addRun(RunResult& total, const RunResult& more) {
    total.startUnixNs = std::min(total.startUnixNs, more.startUnixNs);
    total.endUnixNs = std::max(total.endUnixNs, more.endUnixNs);
    total.latencySumNs += more.latencySumNs;
    total.hasFineCounts = total.hasFineCounts && more.hasFineCounts;
    // Errors of a file without kinds have none: the merge then shows none.
    total.hasErrorKinds = total.hasErrorKinds && more.hasErrorKinds;
    total.hasConnections = total.hasConnections && more.hasConnections;
    return addConnections(total.connections, more.connections) &&
           addTo(total.concurrency, more.concurrency) &&
           addTo(total.processorCount, more.processorCount) &&
           addTo(total.completed, more.completed) && addTo(total.errors, more.errors) &&
           addKinds(total.errorKinds, more.errorKinds) &&
           addOtherCodes(total.otherErrorCodes, more.otherErrorCodes) &&
           addClasses(total.statusClasses, more.statusClasses) &&
           addLatencyCounts(total.latencyCounts, more.latencyCounts) &&
           addFineCounts(total.fineCounts, more.fineCounts) &&
           addFineCounts(total.plannedFineCounts, more.plannedFineCounts) &&
           addSeconds(total.seconds, more.seconds);
}

// Agents share the run's -q. Plain runs each had their own, and together
// aimed at the sum; an unpaced one leaves the whole unpaced.
std::int32_t mergedTargetQps(const std::vector<NamedRun>& runs) {
    if (runs.front().run.agentCount > 0) return runs.front().run.result.targetQps;
    std::int32_t total = 0;
    for (const NamedRun& named : runs) {
        const std::int32_t qps = named.run.result.targetQps;
        if (qps <= 0 || !addTo(total, qps)) return 0;
    }
    return total;
}

// Agents share the run's plan. Plain runs all followed one plan (they merge
// only then), and together aimed at its rates times their number.
RatePlan mergedRatePlan(const std::vector<NamedRun>& runs) {
    const RatePlan& plan = runs.front().run.result.ratePlan;
    if (runs.front().run.agentCount > 0) return plan;
    std::vector<RateStep> steps = plan.steps;
    const auto count = static_cast<std::int64_t>(runs.size());
    for (RateStep& step : steps) {
        step.fromRate *= count;
        step.toRate *= count;
    }
    return ratePlanOf(std::move(steps));
}

}  // namespace

std::string mergedAgentText(const std::vector<NamedRun>& runs) {
    const std::int32_t agents = runs.front().run.agentCount;
    if (agents > 0) return std::to_string(agents) + " agents of " + std::to_string(agents);
    return "merged " + std::to_string(runs.size()) + " runs";
}

bool mergeRuns(const std::vector<NamedRun>& runs, RunResult& merged, std::string& problem) {
    problem.clear();
    merged = runs.front().run.result;
    if (runs.size() == 1) return true;
    for (std::size_t i = 1; i < runs.size(); ++i) {
        if (!addRun(merged, runs[i].run.result)) {
            problem = "the counts of these files add up to more than a 64-bit count holds";
            return false;
        }
    }
    merged.agentText = mergedAgentText(runs);
    merged.targetQps = mergedTargetQps(runs);
    merged.ratePlan = mergedRatePlan(runs);
    return true;
}
