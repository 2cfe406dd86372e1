// The key that version 5 of the result file adds: "settings.rate_plan", the
// run's --rate-plan as [length_s, from_rps, to_rps] steps, or null without one.
#pragma once

#include <nlohmann/json.hpp>

#include "results/result_field_reader.h"
#include "stats/run_result.h"

// Reads "settings.rate_plan"; a plan must keep the limits --rate-plan keeps
// and last the run time.
void readRatePlan(FieldReader& reader, const nlohmann::json& settings, RunResult& result);

// The same, for the writer.
nlohmann::ordered_json ratePlanJson(const RatePlan& plan);
