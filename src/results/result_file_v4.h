// The keys that version 4 of the result file adds: the run's shape
// (--connect-rate, --warmup) in "settings", the connections' own figures in
// "connections", and two columns of the series, the connections held at each
// row's end and the connects in it.
#pragma once

#include <nlohmann/json.hpp>

#include "results/result_field_reader.h"
#include "stats/run_result.h"

// The keys of "connections.closed_by_server", in the order of ServerClose.
inline constexpr const char* kServerCloseKeys[] = {"announced", "idle", "reset"};

// "settings.connect_rate" and "settings.warmup_s".
void readRunShape(FieldReader& reader, const nlohmann::json& settings, RunResult& result);

// "connections": the counts, the most held at once, the time until all were
// held, and the fine counts of the connect and handshake times.
void readConnections(FieldReader& reader, const nlohmann::json& document, RunResult& result);

// The same, for the writer.
nlohmann::ordered_json connectionsJson(const ConnectionFigures& figures);
