#include "stats/collect_run_result.h"

#include "config/client_share.h"
#include "platform/platform.h"
#include "stats/run_stats.h"

std::string agentText(const TestConfig& config) {
    if (config.agentCount <= 0) return "none";
    return std::to_string(config.agentIndex) + "/" + std::to_string(config.agentCount);
}

std::uint64_t logicalProcessorCount() {
    SYSTEM_INFO info{};
    GetNativeSystemInfo(&info);
    return info.dwNumberOfProcessors;
}

RunResult collectRunResult(const TestConfig& config, bool paced) {
    RunResult result;
    result.url = config.url;
    result.durationSec = config.durationSec;
    // Alone, the summary shows -c as given, even 0 or less; an agent shows
    // the clients it ran.
    result.concurrency = config.agentCount > 0 ? localClientCount(config) : config.concurrency;
    result.targetQps = config.targetQps;
    result.ratePlan = config.ratePlan;
    result.processorCount = logicalProcessorCount();
    result.agentText = agentText(config);
    result.startUnixNs = g_runStartUnixNs.load();
    result.endUnixNs = g_runEndUnixNs.load();
    result.completed = g_completedRequests.load();
    result.errors = g_totalErrors.load();
    result.statusClasses = statusClassCounts();
    result.latencyCounts = latencyCounts();
    result.seconds = g_secondSamples;
    result.hasErrorKinds = true;
    result.errorKinds = errorKindCounts();
    result.otherErrorCodes = otherErrorCodes();
    result.latencySumNs = latencyTotals().sumNs;
    result.hasFineCounts = true;
    result.fineCounts = fineLatencyCounts(false);
    if (paced) result.plannedFineCounts = fineLatencyCounts(true);
    result.connectRate = config.connectRate;
    result.warmupSec = config.warmupSec;
    result.hasConnections = true;
    result.connections = connectionFigures();
    return result;
}
