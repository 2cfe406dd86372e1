// The keys of the result file's version 1 layout, which version 2 keeps as
// they are: the settings, the run's counts, its whole-millisecond latency
// counts and its per-second series.
#pragma once

#include <nlohmann/json.hpp>

#include "results/result_field_reader.h"
#include "results/saved_run.h"

// From "velkor_version" to "latency_counts_ms", in the order of the file, so
// that a refusal names the first key that is wrong.
void readSettingsAndCounts(FieldReader& reader, const nlohmann::json& document, SavedRun& run);

// "seconds": one [completed, mean latency ms, errors] row per progress line.
void readSecondsSeries(FieldReader& reader, const nlohmann::json& document, RunResult& result);

// A version 1 file keeps no latency sum and no fine counts: its mean is that
// of its whole milliseconds, as its run printed it.
void sumWholeMilliseconds(RunResult& result);
