#include "results/result_file_v5.h"

#include <string>
#include <vector>

namespace {

using nlohmann::json;

// One [length_s, from_rps, to_rps] step within the limits of --rate-plan.
bool readStep(FieldReader& reader, const json& triple, const std::string& name, RateStep& step) {
    if (!triple.is_array() || triple.size() != 3) {
        return reader.fail("\"" + name + "\" is not a [length_s, from_rps, to_rps] step");
    }
    if (!reader.integer(triple[0], name + "[0]", step.lengthSec) ||
        !reader.integer(triple[1], name + "[1]", step.fromRate) ||
        !reader.integer(triple[2], name + "[2]", step.toRate)) {
        return false;
    }
    if (step.lengthSec < 1 || step.lengthSec > kLongestPlanStepSec || step.fromRate < 0 ||
        step.fromRate > kHighestPlanRate || step.toRate < 0 || step.toRate > kHighestPlanRate) {
        return reader.fail("\"" + name + "\" is outside the limits of --rate-plan");
    }
    return true;
}

}  // namespace

void readRatePlan(FieldReader& reader, const json& settings, RunResult& result) {
    if (!reader.problem.empty()) return;
    const auto found = settings.find("rate_plan");
    if (found == settings.end()) {
        reader.fail("no \"settings.rate_plan\" field");
        return;
    }
    if (found->is_null()) return;
    if (!found->is_array() || found->empty() || found->size() > kMostPlanSteps) {
        reader.fail("\"settings.rate_plan\" is neither null nor 1 to 1000 steps");
        return;
    }
    std::vector<RateStep> steps(found->size());
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const std::string name = "settings.rate_plan[" + std::to_string(i) + "]";
        if (!readStep(reader, (*found)[i], name, steps[i])) return;
    }
    result.ratePlan = ratePlanOf(std::move(steps));
    if (result.targetQps > 0) {
        reader.fail("\"settings.rate_plan\" and \"settings.target_rps\" both pace the run");
    } else if (planLengthSec(result.ratePlan) != result.durationSec) {
        reader.fail("\"settings.rate_plan\" lasts " +
                    std::to_string(planLengthSec(result.ratePlan)) + " s, not the run time " +
                    std::to_string(result.durationSec) + " s");
    }
}

nlohmann::ordered_json ratePlanJson(const RatePlan& plan) {
    if (plan.steps.empty()) return nullptr;
    nlohmann::ordered_json steps = nlohmann::ordered_json::array();
    for (const RateStep& step : plan.steps) {
        steps.push_back({step.lengthSec, step.fromRate, step.toRate});
    }
    return steps;
}

void readClientCertificate(FieldReader& reader, const nlohmann::json& settings, SavedRun& run) {
    const auto found = settings.find("client_certificate");
    if (found == settings.end()) {
        reader.fail("no \"settings.client_certificate\" field");
    } else if (!found->is_boolean()) {
        reader.fail("\"settings.client_certificate\" is not true or false");
    } else {
        run.clientCertificate = found->get<bool>();
    }
}
