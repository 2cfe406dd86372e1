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

// What one step of the schedule passed over.
struct PacingStep {
    std::int64_t skippedStarts;   // planned starts passed over without a send
    std::int64_t firstSkippedNs;  // the earliest of them, monotonic clock, ns
};

// Moves to the next planned start of the client's own grid: one interval on,
// so sleep overshoot never adds up. A late client sends at once for the
// latest start already past at nowNs; the starts before it that are past too
// are skipped, whole intervals, and never made up in a burst. So the client
// keeps its phase, however long the stall. Starts at or after deadlineNs are
// never skipped: the run plans none there.
PacingStep advancePacing(PacingSchedule& schedule, std::int64_t nowNs, std::int64_t deadlineNs);

// For a client that could first send only at nowNs (its connection opened
// late): passes over the planned starts already past but the latest, as
// advancePacing does after a stall, and says which it passed over.
PacingStep catchUpPacing(PacingSchedule& schedule, std::int64_t nowNs, std::int64_t deadlineNs);
