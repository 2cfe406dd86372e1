// The keys that version 2 of the result file adds after "latency_counts_ms":
// the latency sum at full resolution and the fine latency counts.
#pragma once

#include <nlohmann/json.hpp>

#include "results/result_field_reader.h"
#include "stats/run_result.h"

// "latency_sum_ns", "latency_counts_us" and "planned_latency_counts_us"; the
// fine counts must count the same requests as the whole milliseconds.
void readFineLatencies(FieldReader& reader, const nlohmann::json& document, RunResult& result);

// Fine counts under key: [microseconds, count] pairs, each the start of a
// bucket, ascending, counts above 0.
void readFineCountsAt(FieldReader& reader, const nlohmann::json& document, const char* key,
                      std::vector<FineBucket>& counts);
