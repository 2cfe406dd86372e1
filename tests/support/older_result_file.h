// A result file's JSON as an older velkor wrote it, from the text of this one.
#pragma once

#include <nlohmann/json.hpp>

// Version 2 lacks the errors by kind and has three columns a row; version 1
// lacks the fine latency counts too.
inline nlohmann::json asOlderVersion(nlohmann::json document, int version) {
    document["format_version"] = version;
    document.erase("errors_by_kind");
    document.erase("other_error_codes");
    document["seconds_columns"] = {"completed", "mean_latency_ms", "errors"};
    for (nlohmann::json& row : document["seconds"]) row.erase(row.begin() + 3, row.end());
    if (version == 1) {
        for (const char* key : {"latency_sum_ns", "latency_counts_us", "planned_latency_counts_us"})
            document.erase(key);
    }
    return document;
}
