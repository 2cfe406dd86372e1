#include "results/result_file_checks.h"

#include <limits>

SeriesFault extendSeries(CountSeries& series, std::uint64_t start, std::uint64_t count) {
    if (count == 0 || (!series.empty && start <= series.lastStart)) {
        return SeriesFault::notAscending;
    }
    if (count > std::numeric_limits<std::uint64_t>::max() - series.total) {
        return SeriesFault::tooMany;
    }
    series.total += count;
    series.lastStart = start;
    series.empty = false;
    return SeriesFault::none;
}

bool fineCountsAgree(const RunResult& result) {
    std::uint64_t fineTotal = 0;
    for (const FineBucket& bucket : result.fineCounts) fineTotal += bucket.count;
    std::uint64_t wholeTotal = 0;
    for (const LatencyBucket& bucket : result.latencyCounts) wholeTotal += bucket.count;
    return fineTotal == wholeTotal;
}

bool totalsAgree(const RunResult& result, std::string& problem) {
    std::uint64_t latencyTotal = 0;
    for (const LatencyBucket& bucket : result.latencyCounts) latencyTotal += bucket.count;
    const StatusClassCounts& classes = result.statusClasses;
    std::uint64_t classTotal = 0;
    bool classesOverflow = false;
    for (std::uint64_t count : {classes.status2xx, classes.status3xx, classes.status4xx,
                                classes.status5xx, classes.other}) {
        classesOverflow = classesOverflow || count > UINT64_MAX - classTotal;
        classTotal += count;
    }
    const std::string completed = "\"completed\" is " + std::to_string(result.completed);
    if (latencyTotal != result.completed) {
        problem = completed + ", but the latency counts add up to " + std::to_string(latencyTotal);
    } else if (classesOverflow || classTotal != result.completed) {
        problem = completed + ", but the status classes add up to " +
                  (classesOverflow ? std::string("more than 2^64") : std::to_string(classTotal));
    }
    return problem.empty();
}
