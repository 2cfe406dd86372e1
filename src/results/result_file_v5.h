// The key that version 5 of the result file adds: whether the run presented
// a client certificate (--cert), in "settings". Which one is not kept.
#pragma once

#include <nlohmann/json.hpp>

#include "results/result_field_reader.h"
#include "results/saved_run.h"

// "settings.client_certificate", a boolean.
void readClientCertificate(FieldReader& reader, const nlohmann::json& settings, SavedRun& run);
