// Pacing the run's clients to the target rate. The planned starts of all
// clients together form one even schedule, one every 1/targetQps seconds:
// client i plans its first at i/targetQps seconds after the run's start, then
// one every concurrency/targetQps seconds. With a rate plan the run's k-th
// start is where the plan's integral reaches k, and client i takes the
// starts k = i, i + concurrency, i + 2 concurrency, ...
#pragma once

#include <cstdint>

#include "config/test_config.h"

// Time between the planned starts of one client's exchanges: concurrency /
// targetQps seconds, in whole nanoseconds; 0 when -q does not pace the run.
std::int64_t pacingIntervalNs(const TestConfig& config);

// The run's clients follow a schedule: -q or --rate-plan.
bool pacedRun(const TestConfig& config);

// One client's planned starts. Times are kept exact, whole nanoseconds plus
// a fraction in 1/targetQps parts, so the truncation of the interval never
// adds up: over a long run it would creep a whole slot into the run.
struct PacingSchedule {
    std::int64_t plannedStartNs;  // the next planned start, monotonic clock, ns
    std::int64_t fractionParts;   // its fraction of a nanosecond, in 1/partsPerNs
    std::int64_t intervalNs;      // the interval's whole nanoseconds
    std::int64_t intervalParts;   // the interval's fraction of a nanosecond, in 1/partsPerNs
    std::int64_t partsPerNs;      // the target rate, which every fraction is over
    const RatePlan* plan;         // --rate-plan: the plan the starts follow; null for -q
    std::int64_t startIndex;      // with a plan: the current start's place k over all clients
    std::int64_t stride;          // with a plan: the run's clients, from one k of this client
                                  // to its next
    std::int64_t runStartNs;      // with a plan: the run's start, monotonic clock, ns
};

// The schedule of the client with this 0-based global index (its place among
// all the run's clients, over every agent): its first planned start is
// globalIndex/targetQps seconds after runStartNs, or with a plan the plan's
// start number globalIndex. Call only for a paced run. No start is left once
// plannedStartNs is INT64_MAX.
PacingSchedule startPacing(const TestConfig& config, std::int32_t globalIndex,
                           std::int64_t runStartNs);

// What one step of the schedule passed over.
struct PacingStep {
    std::int64_t skippedStarts;   // planned starts passed over without a send
    std::int64_t firstSkippedNs;  // the earliest of them, monotonic clock, ns
    std::int64_t firstSkippedK;   // with a plan: its place k over all clients
};

// With a plan: the planned start of the j-th start (0-based) a step passed
// over, monotonic clock, ns.
std::int64_t skippedStartNs(const PacingSchedule& schedule, const PacingStep& step, std::int64_t j);

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
