#include "config/client_share.h"

std::int32_t localClientCount(const TestConfig& config) {
    if (config.concurrency <= 0) return 0;
    if (config.agentCount <= 0) return config.concurrency;
    const std::int64_t first = config.agentIndex - 1;
    if (first >= config.concurrency) return 0;
    return static_cast<std::int32_t>((config.concurrency - first + config.agentCount - 1) /
                                     config.agentCount);
}

std::int32_t globalClientIndex(const TestConfig& config, std::int32_t localIndex) {
    if (config.agentCount <= 0) return localIndex;
    return localIndex * config.agentCount + (config.agentIndex - 1);
}
