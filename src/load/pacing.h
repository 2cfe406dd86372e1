// Pacing the run's clients to the target rate. The planned starts of all
// clients together form one even schedule, one every 1/targetQps seconds:
// client i plans its first at i/targetQps seconds after the run's start, then
// one every concurrency/targetQps seconds.
#pragma once

#include <cstdint>

#include "config/test_config.h"

// Time between the planned starts of one client's exchanges: concurrency /
// targetQps seconds, in whole nanoseconds; 0 when the run is not paced.
std::int64_t pacingIntervalNs(const TestConfig& config);

// One client's planned starts. Times are kept exact, whole nanoseconds plus
// a fraction in 1/targetQps parts, so the truncation of the interval never
// adds up: over a long run it would creep a whole slot into the run.
struct PacingSchedule {
    std::int64_t plannedStartNs;  // the next planned start, monotonic clock, ns
    std::int64_t fractionParts;   // its fraction of a nanosecond, in 1/partsPerNs
    std::int64_t intervalNs;      // the interval's whole nanoseconds
    std::int64_t intervalParts;   // the interval's fraction of a nanosecond, in 1/partsPerNs
    std::int64_t partsPerNs;      // the target rate, which every fraction is over
};

// The schedule of the client with this 0-based global index (its place among
// all the run's clients, over every agent): its first planned start is
// globalIndex/targetQps seconds after runStartNs. Call only for a paced run.
PacingSchedule startPacing(const TestConfig& config, std::int32_t globalIndex,
                           std::int64_t runStartNs);

// Moves to the next planned start: one interval after the previous one, so
// sleep overshoot never adds up; but never before nowNs, so time lost to a
// slow cycle is not made up in a burst: the schedule goes on from nowNs.
void advancePacing(PacingSchedule& schedule, std::int64_t nowNs);
