#include "platform/os/wait_budget.h"

#include <climits>

#include "platform/os/clock.h"

int waitBudgetMs(std::int64_t giveUpNs, std::int64_t nowNs) {
    if (nowNs >= giveUpNs) return 0;
    const std::int64_t remainingMs = (giveUpNs - nowNs + kNsPerMs - 1) / kNsPerMs;
    return remainingMs > INT_MAX ? INT_MAX : static_cast<int>(remainingMs);
}
