#include "config/rate_plan.h"

#include <algorithm>
#include <cmath>

#include "config/messages.h"
#include "platform/os/clock.h"

namespace {

using Wide = __int128;

// Whole digits, at most twelve; rest is what follows them.
bool readDigits(std::string_view text, std::int64_t& value, std::string_view& rest) {
    std::size_t at = 0;
    value = 0;
    while (at < text.size() && at < 12 && text[at] >= '0' && text[at] <= '9') {
        value = value * 10 + (text[at] - '0');
        ++at;
    }
    rest = text.substr(at);
    return at > 0 && (rest.empty() || rest[0] < '0' || rest[0] > '9');
}

// "30s", "5m", "2h": an empty problem when the length is good.
std::string_view readLength(std::string_view text, std::int64_t& lengthSec) {
    std::string_view unit;
    if (!readDigits(text, lengthSec, unit)) return kPlanLengthNoNumber;
    if (unit == "m") {
        lengthSec *= 60;
    } else if (unit == "h") {
        lengthSec *= 3600;
    } else if (unit != "s") {
        return kPlanLengthUnit;
    }
    if (lengthSec == 0) return kPlanLengthZero;
    if (lengthSec > kLongestPlanStepSec) return kPlanLengthTooLong;
    return {};
}

std::string_view readRate(std::string_view text, std::int64_t& rate) {
    if (!text.empty() && text[0] == '-') return kPlanRateNegative;
    std::string_view rest;
    if (!readDigits(text, rate, rest) || !rest.empty()) return kPlanRateNoNumber;
    if (rate > kHighestPlanRate) return kPlanRateTooHigh;
    return {};
}

// "LENGTH:RATE" or "LENGTH:FROM-TO".
std::string_view readStep(std::string_view text, RateStep& step) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) return kPlanStepForm;
    std::string_view problem = readLength(text.substr(0, colon), step.lengthSec);
    if (!problem.empty()) return problem;
    const std::string_view rates = text.substr(colon + 1);
    // A dash at the very start is a sign, not the ramp's.
    const std::size_t dash = rates.empty() ? std::string_view::npos : rates.find('-', 1);
    problem = readRate(rates.substr(0, dash), step.fromRate);
    if (!problem.empty() || dash == std::string_view::npos) {
        step.toRate = step.fromRate;
        return problem;
    }
    return readRate(rates.substr(dash + 1), step.toRate);
}

// The step's integral over its first elapsedNs times 2 * lengthSec * 10^18,
// a whole number: (b - a) x^2 + 2 a L 10^9 x, with x in ns and L in s. It
// grows with x over the step, as the rate is never below 0.
Wide scaledIntegral(const RateStep& step, Wide elapsedNs) {
    return (step.toRate - step.fromRate) * elapsedNs * elapsedNs +
           2 * Wide{step.fromRate} * step.lengthSec * kNsPerSec * elapsedNs;
}

// The last nanosecond of the step at which its integral is at most
// doubledCount / 2. The exact root in floating point comes within a
// nanosecond or two; the exact comparison then settles it.
std::int64_t stepOffsetNs(const RateStep& step, std::int64_t doubledCount) {
    if (doubledCount == 0) return 0;
    const std::int64_t stepNs = step.lengthSec * kNsPerSec;
    const Wide target = Wide{doubledCount} * step.lengthSec * kNsPerSec * kNsPerSec;
    // (b - a) t^2 + 2 a L t - L d = 0 in seconds; the form without a
    // difference of near-equal terms: t = L d / (a L + sqrt(a^2 L^2 + (b - a) L d)).
    const long double a = step.fromRate;
    const long double length = step.lengthSec;
    // Never below 0 in exact terms: the step's integral covers doubledCount.
    const long double root = std::sqrt(std::max<long double>(
        a * a * length * length + (step.toRate - step.fromRate) * length * doubledCount, 0));
    long double estimateNs = length * doubledCount / (a * length + root) * kNsPerSec;
    if (std::isnan(estimateNs)) estimateNs = 0;  // the search below still finds the instant
    const auto estimate = static_cast<std::int64_t>(
        std::clamp<long double>(std::floor(estimateNs), 0, static_cast<long double>(stepNs)));
    std::int64_t low = std::max<std::int64_t>(estimate - 2, 0);
    std::int64_t high = std::min(estimate + 2, stepNs);
    if (scaledIntegral(step, low) > target) low = 0;
    if (high < stepNs && scaledIntegral(step, high + 1) <= target) high = stepNs;
    // The largest x in [low, high] with scaledIntegral(x) <= target.
    while (low < high) {
        const std::int64_t middle = low + (high - low + 1) / 2;
        if (scaledIntegral(step, middle) <= target) {
            low = middle;
        } else {
            high = middle - 1;
        }
    }
    return low;
}

}  // namespace

RatePlan ratePlanOf(std::vector<RateStep> steps) {
    RatePlan plan;
    plan.steps = std::move(steps);
    std::int64_t doubled = 0;
    std::int64_t startSec = 0;
    for (const RateStep& step : plan.steps) {
        plan.doubledCountsBefore.push_back(doubled);
        plan.stepStartsSec.push_back(startSec);
        doubled += (step.fromRate + step.toRate) * step.lengthSec;
        startSec += step.lengthSec;
    }
    plan.doubledCountsBefore.push_back(doubled);
    return plan;
}

bool parseRatePlan(std::string_view text, RatePlan& plan, std::string& problem) {
    if (text.empty()) {
        problem = kPlanEmpty;
        return false;
    }
    std::vector<RateStep> steps;
    for (std::size_t from = 0;;) {
        const std::size_t comma = text.find(',', from);
        const std::string_view stepText = text.substr(from, comma - from);
        if (steps.size() == kMostPlanSteps) {
            problem = kPlanTooManySteps;
            return false;
        }
        RateStep step{};
        const std::string_view stepProblem = readStep(stepText, step);
        if (!stepProblem.empty()) {
            problem = std::string(kPlanStepPrefix) + std::to_string(steps.size() + 1) +
                      std::string(kPlanStepMiddle) + quoteForMessage(stepText) +
                      std::string(stepProblem);
            return false;
        }
        steps.push_back(step);
        if (comma == std::string_view::npos) break;
        from = comma + 1;
    }
    plan = ratePlanOf(std::move(steps));
    return true;
}

std::string ratePlanText(const RatePlan& plan) {
    std::string text;
    for (const RateStep& step : plan.steps) {
        if (!text.empty()) text += ',';
        text += std::to_string(step.lengthSec);
        text += "s:";
        text += std::to_string(step.fromRate);
        if (step.toRate != step.fromRate) {
            text += '-';
            text += std::to_string(step.toRate);
        }
    }
    return text;
}

std::int64_t planLengthSec(const RatePlan& plan) {
    std::int64_t total = 0;
    for (const RateStep& step : plan.steps) total += step.lengthSec;
    return total;
}

std::int64_t plannedStartOffsetNs(const RatePlan& plan, std::int64_t k) {
    const std::vector<std::int64_t>& before = plan.doubledCountsBefore;
    if (k < 0 || before.empty() || 2 * k >= before.back()) return -1;
    // The step in which the integral passes 2k: the last one starting at or
    // below it, so steps of rate 0 (which it never passes in) are skipped.
    const auto next = std::upper_bound(before.begin(), before.end(), 2 * k);
    const auto index = static_cast<std::size_t>(next - before.begin()) - 1;
    return plan.stepStartsSec[index] * kNsPerSec +
           stepOffsetNs(plan.steps[index], 2 * k - before[index]);
}

double plannedRateAt(const RatePlan& plan, std::int64_t offsetNs) {
    if (offsetNs < 0) return 0;
    for (const RateStep& step : plan.steps) {
        const std::int64_t stepNs = step.lengthSec * kNsPerSec;
        if (offsetNs < stepNs) {
            const double part = static_cast<double>(offsetNs) / static_cast<double>(stepNs);
            return static_cast<double>(step.fromRate) +
                   part * static_cast<double>(step.toRate - step.fromRate);
        }
        offsetNs -= stepNs;
    }
    return 0;
}

double plannedCountBefore(const RatePlan& plan, std::int64_t offsetNs) {
    if (offsetNs <= 0 || plan.steps.empty()) return 0;
    for (std::size_t i = 0; i < plan.steps.size(); ++i) {
        const RateStep& step = plan.steps[i];
        const std::int64_t stepNs = step.lengthSec * kNsPerSec;
        if (offsetNs < stepNs) {
            const double seconds = static_cast<double>(offsetNs) / kNsPerSec;
            const double slope = static_cast<double>(step.toRate - step.fromRate) /
                                 static_cast<double>(step.lengthSec);
            return static_cast<double>(plan.doubledCountsBefore[i]) / 2 +
                   static_cast<double>(step.fromRate) * seconds + slope * seconds * seconds / 2;
        }
        offsetNs -= stepNs;
    }
    return static_cast<double>(plan.doubledCountsBefore.back()) / 2;
}
