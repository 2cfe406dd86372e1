#include "stats/progress_reporter.h"

#include <ostream>
#include <sstream>

#include "platform/os/clock.h"
#include "common/sleep_until.h"
#include "stats/run_stats.h"

double windowMeanMs(const LatencyTotals& before, const LatencyTotals& after) {
    if (after.count <= before.count) return 0.0;
    return (after.sumNs - before.sumNs) / static_cast<double>(kNsPerMs) /
           static_cast<double>(after.count - before.count);
}

std::string formatProgressLine(std::uint64_t cumulativeRequests, std::uint64_t secondRequests,
                               double windowMeanMs) {
    std::ostringstream line;
    line << "累计请求: " << cumulativeRequests << ", 本秒QPS: " << secondRequests
         << ", 本秒平均延迟: " << windowMeanMs << " ms";
    return line.str();
}

SecondSample sampleBetween(const SeriesReading& before, const SeriesReading& after) {
    SecondSample sample{after.completed - before.completed,
                        windowMeanMs(before.latency, after.latency), 0};
    for (std::size_t kind = 0; kind < kErrorKindCount; ++kind) {
        sample.errorKinds[kind] = after.errorKinds[kind] - before.errorKinds[kind];
        sample.errors += sample.errorKinds[kind];
    }
    sample.connects = after.connects - before.connects;
    sample.connectionsHeld = after.held;
    return sample;
}

void progressReporter(const TestConfig& config, std::int64_t runStartNs, std::ostream& out) {
    const std::uint64_t baseCount = g_completedRequests.load();
    if (config.durationSec < 1) return;

    std::uint64_t previousCount = baseCount;
    // The first window holds every latency recorded so far, as each later one
    // holds those recorded since the line before.
    LatencyTotals previousTotals;
    for (std::int32_t second = 1; second <= config.durationSec; ++second) {
        // Absolute deadlines: a late wake-up delays one line, not all that follow.
        sleepUntilNs(runStartNs + static_cast<std::int64_t>(second) * kNsPerSec);
        const SeriesReading current = readSeries();
        const std::uint64_t currentCount = current.completed;
        const double meanMs = windowMeanMs(previousTotals, current.latency);
        out << formatProgressLine(currentCount - baseCount, currentCount - previousCount, meanMs)
            << std::endl;
        // The series counts from the run statistics' start, so its rows add
        // up to the run's totals.
        g_secondSamples.push_back(sampleBetween(g_seriesReading, current));
        g_seriesReading = current;
        previousCount = currentCount;
        previousTotals = current.latency;
    }
}

void closeSecondSeries() {
    const SeriesReading current = readSeries();
    g_secondSamples.push_back(sampleBetween(g_seriesReading, current));
    g_seriesReading = current;
}
