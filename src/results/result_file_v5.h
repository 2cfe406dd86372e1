// The keys that version 5 of the result file adds at the end of "settings":
// the run's --rate-plan as [length_s, from_rps, to_rps] steps (null without
// one), and whether the run presented a client certificate (--cert); which
// one is not kept.
#pragma once

#include <nlohmann/json.hpp>

#include "results/result_field_reader.h"
#include "results/saved_run.h"
#include "stats/run_result.h"

// Reads "settings.rate_plan"; a plan must keep the limits --rate-plan keeps
// and last the run time.
void readRatePlan(FieldReader& reader, const nlohmann::json& settings, RunResult& result);

// The same, for the writer.
nlohmann::ordered_json ratePlanJson(const RatePlan& plan);

// "settings.client_certificate", a boolean.
void readClientCertificate(FieldReader& reader, const nlohmann::json& settings, SavedRun& run);
