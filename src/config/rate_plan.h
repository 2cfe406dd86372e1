// A rate plan (--rate-plan): the run's arrival rate as a piecewise-linear
// function of time, a list of steps each holding a rate or ramping from one
// rate to another. The run's planned starts follow it: the k-th planned start
// over all clients (k from 0) is the instant at which the plan's integral
// reaches k, so a plan of one flat step plans exactly the starts of -q.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The most steps a plan may have.
inline constexpr std::size_t kMostPlanSteps = 1000;
// The longest step, seconds, and the highest rate, requests a second: inside
// these every product of the start instants' exact arithmetic fits 128 bits.
inline constexpr std::int64_t kLongestPlanStepSec = 1'000'000;
inline constexpr std::int64_t kHighestPlanRate = 10'000'000;

struct RateStep {
    std::int64_t lengthSec;  // the step's length, whole seconds, above 0
    std::int64_t fromRate;   // rate at the step's start, requests a second, 0 or more
    std::int64_t toRate;     // rate at its end; equal to fromRate for a flat step
};

struct RatePlan {
    std::vector<RateStep> steps{};  // in order; empty: the run has no plan
    // Twice the plan's integral up to each step's start, requests, with one
    // more entry for the plan's end: whole numbers, since lengths are whole
    // seconds and rates whole requests a second.
    std::vector<std::int64_t> doubledCountsBefore{};
    std::vector<std::int64_t> stepStartsSec{};  // each step's start, s after the run's start
};

// Reads "30s:1000,60s:1000-5000,30s:5000" (lengths in s, m or h). On a bad
// plan returns false and says what is wrong with which step in problem.
bool parseRatePlan(std::string_view text, RatePlan& plan, std::string& problem);

// The plan of these steps, with its counts worked out; the steps must be
// within the limits above.
RatePlan ratePlanOf(std::vector<RateStep> steps);

// The plan written back as text, in the form parseRatePlan reads.
std::string ratePlanText(const RatePlan& plan);

// The plan's length, whole seconds.
std::int64_t planLengthSec(const RatePlan& plan);

// The k-th planned start (0-based, over all clients), in ns after the run's
// start: the last nanosecond at or before the instant the plan's integral
// reaches k. -1 when the plan ends before its integral reaches k.
std::int64_t plannedStartOffsetNs(const RatePlan& plan, std::int64_t k);

// The plan's rate at offsetNs after the run's start, requests a second; 0
// before the start and from the plan's end on.
double plannedRateAt(const RatePlan& plan, std::int64_t offsetNs);

// The plan's integral from the run's start to offsetNs: the starts planned
// so far, as a real number.
double plannedCountBefore(const RatePlan& plan, std::int64_t offsetNs);
