// The keys that version 3 of the result file adds: the errors by kind, the OS
// codes of the errors of kind "other", and the kinds in each row of the
// per-second series, whose rows then add up to the run's totals.
#pragma once

#include <nlohmann/json.hpp>

#include "results/result_field_reader.h"
#include "stats/run_result.h"

// The keys of "errors_by_kind" and the kinds' columns of "seconds", in the
// order of ErrorKind.
inline constexpr const char* kErrorKindKeys[] = {
    "connect_refused", "connect_unanswered", "tls_failed",          "tls_unfinished",
    "closed_early",    "malformed",          "response_unanswered", "other",
};

// "errors_by_kind" and "other_error_codes"; the kinds must add up to
// "errors", the codes to the kind "other".
void readErrorKinds(FieldReader& reader, const nlohmann::json& document, RunResult& result);

// "seconds", version 3: [completed, mean latency ms, errors, then the errors
// of each kind] per row; each row's kinds add up to its errors. Version 4
// rows (result.hasConnections) end with the connections held and connects.
void readSecondsWithKinds(FieldReader& reader, const nlohmann::json& document, RunResult& result);

// Whether the rows of the series add up to the totals: completed requests,
// errors, the errors of each kind, and (version 4) the connects to the
// connections opened. Otherwise sets problem.
bool seriesAddsUp(const RunResult& result, std::string& problem);
