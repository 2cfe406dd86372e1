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

void progressReporter(const TestConfig& config, std::int64_t runStartNs, std::ostream& out) {
    const std::uint64_t baseCount = g_completedRequests.load();
    const std::uint64_t baseErrors = g_totalErrors.load();
    if (config.durationSec < 1) return;

    std::uint64_t previousCount = baseCount;
    std::uint64_t previousErrors = baseErrors;
    // The first window holds every latency recorded so far, as each later one
    // holds those recorded since the line before.
    LatencyTotals previousTotals;
    for (std::int32_t second = 1; second <= config.durationSec; ++second) {
        // Absolute deadlines: a late wake-up delays one line, not all that follow.
        sleepUntilNs(runStartNs + static_cast<std::int64_t>(second) * kNsPerSec);
        const std::uint64_t currentCount = g_completedRequests.load();
        const std::uint64_t currentErrors = g_totalErrors.load();
        const LatencyTotals currentTotals = latencyTotals();
        const double meanMs = windowMeanMs(previousTotals, currentTotals);
        out << formatProgressLine(currentCount - baseCount, currentCount - previousCount, meanMs)
            << std::endl;
        g_secondSamples.push_back(
            {currentCount - previousCount, meanMs, currentErrors - previousErrors});
        previousCount = currentCount;
        previousErrors = currentErrors;
        previousTotals = currentTotals;
    }
}
