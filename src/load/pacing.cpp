#include "load/pacing.h"

#include "platform/os/clock.h"

std::int64_t pacingIntervalNs(const TestConfig& config) {
    if (config.targetQps <= 0 || config.concurrency <= 0) return 0;
    return static_cast<std::int64_t>(config.concurrency) * kNsPerSec / config.targetQps;
}

PacingSchedule startPacing(const TestConfig& config, std::int32_t globalIndex,
                           std::int64_t runStartNs) {
    // Below 2^31 times 10^9 every product stays far inside 64 bits.
    const std::int64_t rate = config.targetQps;
    const std::int64_t offsetUnits = static_cast<std::int64_t>(globalIndex) * kNsPerSec;
    const std::int64_t intervalUnits = static_cast<std::int64_t>(config.concurrency) * kNsPerSec;
    PacingSchedule schedule{};
    schedule.plannedStartNs = runStartNs + offsetUnits / rate;
    schedule.fractionParts = offsetUnits % rate;
    schedule.intervalNs = intervalUnits / rate;
    schedule.intervalParts = intervalUnits % rate;
    schedule.partsPerNs = rate;
    return schedule;
}

namespace {

void stepOneInterval(PacingSchedule& schedule) {
    schedule.plannedStartNs += schedule.intervalNs;
    schedule.fractionParts += schedule.intervalParts;
    if (schedule.fractionParts >= schedule.partsPerNs) {
        schedule.fractionParts -= schedule.partsPerNs;
        schedule.plannedStartNs += 1;
    }
}

// The planned start after the current one.
std::int64_t followingStartNs(const PacingSchedule& schedule) {
    PacingSchedule next = schedule;
    stepOneInterval(next);
    return next.plannedStartNs;
}

}  // namespace

PacingStep advancePacing(PacingSchedule& schedule, std::int64_t nowNs, std::int64_t deadlineNs) {
    stepOneInterval(schedule);
    return catchUpPacing(schedule, nowNs, deadlineNs);
}

PacingStep catchUpPacing(PacingSchedule& schedule, std::int64_t nowNs, std::int64_t deadlineNs) {
    PacingStep step{0, schedule.plannedStartNs};
    while (schedule.plannedStartNs < deadlineNs && followingStartNs(schedule) <= nowNs) {
        ++step.skippedStarts;
        stepOneInterval(schedule);
    }
    return step;
}
