#include "load/pacing.h"

#include "platform/os/clock.h"

std::int64_t pacingIntervalNs(const TestConfig& config) {
    if (config.targetQps <= 0 || config.concurrency <= 0) return 0;
    return static_cast<std::int64_t>(config.concurrency) * kNsPerSec / config.targetQps;
}

bool pacedRun(const TestConfig& config) {
    return pacingIntervalNs(config) > 0 || !config.ratePlan.steps.empty();
}

namespace {

// The plan's start number k on the monotonic clock; INT64_MAX past the plan.
std::int64_t planStartNs(const PacingSchedule& schedule, std::int64_t k) {
    const std::int64_t offsetNs = plannedStartOffsetNs(*schedule.plan, k);
    return offsetNs < 0 ? INT64_MAX : schedule.runStartNs + offsetNs;
}

}  // namespace

PacingSchedule startPacing(const TestConfig& config, std::int32_t globalIndex,
                           std::int64_t runStartNs) {
    if (!config.ratePlan.steps.empty()) {
        PacingSchedule schedule{};
        schedule.plan = &config.ratePlan;
        schedule.startIndex = globalIndex;
        schedule.stride = config.concurrency;
        schedule.runStartNs = runStartNs;
        schedule.plannedStartNs = planStartNs(schedule, globalIndex);
        return schedule;
    }
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
    if (schedule.plan != nullptr) {
        schedule.startIndex += schedule.stride;
        schedule.plannedStartNs = planStartNs(schedule, schedule.startIndex);
        return;
    }
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
    PacingStep step{0, schedule.plannedStartNs, schedule.startIndex};
    while (schedule.plannedStartNs < deadlineNs && followingStartNs(schedule) <= nowNs) {
        ++step.skippedStarts;
        stepOneInterval(schedule);
    }
    return step;
}

std::int64_t skippedStartNs(const PacingSchedule& schedule, const PacingStep& step,
                            std::int64_t j) {
    return planStartNs(schedule, step.firstSkippedK + j * schedule.stride);
}
