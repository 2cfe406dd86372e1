#include "stats/progress_reporter.h"

#include <ostream>
#include <sstream>

#include "common/clock.h"
#include "common/sleep_until.h"
#include "stats/run_stats.h"

LatencyWindow takeLatencyWindow() {
    LatencyWindow window{0, 0};
    EnterCriticalSection(&g_latencyLock);
    const std::size_t endIndex = g_latenciesMs.size();
    for (std::size_t i = g_lastReportedIndex; i < endIndex; ++i) window.sumMs += g_latenciesMs[i];
    if (endIndex > g_lastReportedIndex) window.entryCount = endIndex - g_lastReportedIndex;
    g_lastReportedIndex = endIndex;
    LeaveCriticalSection(&g_latencyLock);
    return window;
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
    if (config.durationSec < 1) return;

    std::uint64_t previousCount = baseCount;
    for (std::int32_t second = 1; second <= config.durationSec; ++second) {
        // Absolute deadlines: a late wake-up delays one line, not all that follow.
        sleepUntilNs(runStartNs + static_cast<std::int64_t>(second) * kNsPerSec);
        const std::uint64_t currentCount = g_completedRequests.load();
        const LatencyWindow window = takeLatencyWindow();
        const double meanMs = window.entryCount == 0 ? 0.0
                                                     : static_cast<double>(window.sumMs) /
                                                           static_cast<double>(window.entryCount);
        out << formatProgressLine(currentCount - baseCount, currentCount - previousCount, meanMs)
            << std::endl;
        previousCount = currentCount;
    }
}
