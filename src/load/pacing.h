// Pacing a client to its share of the target rate.
#pragma once

#include <cstdint>

#include "app/test_config.h"

// Time between the planned starts of a client's exchanges: concurrency /
// targetQps seconds, in nanoseconds; 0 when the run is not paced.
std::int64_t pacingIntervalNs(const TestConfig& config);

// The planned start of the next exchange: one interval after the previous
// planned start, so sleep overshoot never adds up; but never before nowNs,
// so time lost to a slow cycle is not made up in a burst.
std::int64_t nextPlannedStartNs(std::int64_t plannedStartNs, std::int64_t intervalNs,
                                std::int64_t nowNs);
