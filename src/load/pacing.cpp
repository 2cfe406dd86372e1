#include "load/pacing.h"

#include "common/clock.h"

std::int64_t pacingIntervalNs(const TestConfig& config) {
    if (config.targetQps <= 0 || config.concurrency <= 0) return 0;
    return static_cast<std::int64_t>(config.concurrency) * kNsPerSec / config.targetQps;
}

std::int64_t nextPlannedStartNs(std::int64_t plannedStartNs, std::int64_t intervalNs,
                                std::int64_t nowNs) {
    const std::int64_t nextNs = plannedStartNs + intervalNs;
    return nextNs > nowNs ? nextNs : nowNs;
}
