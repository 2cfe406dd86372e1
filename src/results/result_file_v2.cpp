#include "results/result_file_v2.h"

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "results/result_file_checks.h"
#include "stats/fine_counts.h"

namespace {

using nlohmann::json;

// A key as messages name it, in double quotes.
std::string quoted(const char* key) {
    return std::string("\"") + key + "\"";
}

}  // namespace

void readFineCountsAt(FieldReader& reader, const json& document, const char* key,
                      std::vector<FineBucket>& counts) {
    const json* pairs = reader.member(document, key, json::value_t::array, "an array");
    if (pairs == nullptr) return;
    CountSeries series;
    for (std::size_t i = 0; i < pairs->size() && reader.problem.empty(); ++i) {
        const json& pair = (*pairs)[i];
        const std::string name = std::string(key) + "[" + std::to_string(i) + "]";
        FineBucket bucket{};
        if (!pair.is_array() || pair.size() != 2) {
            reader.fail("\"" + name + "\" is not a [microseconds, count] pair");
            return;
        }
        if (!reader.integer(pair[0], name + "[0]", bucket.lowUs) ||
            !reader.integer(pair[1], name + "[1]", bucket.count)) {
            return;
        }
        const SeriesFault fault = isFineBucketLow(bucket.lowUs)
                                      ? extendSeries(series, bucket.lowUs, bucket.count)
                                      : SeriesFault::notAscending;
        if (fault == SeriesFault::notAscending) {
            reader.fail(quoted(key) + " is not ascending bucket starts with counts above 0");
            return;
        }
        if (fault == SeriesFault::tooMany) {
            reader.fail(quoted(key) + " counts more than 2^64 requests");
            return;
        }
        counts.push_back(bucket);
    }
}

void readFineLatencies(FieldReader& reader, const json& document, RunResult& result) {
    result.hasFineCounts = true;
    const auto sum = document.find("latency_sum_ns");
    if (sum == document.end()) {
        reader.fail("no \"latency_sum_ns\" field");
    } else if (!sum->is_number() || !(sum->get<double>() >= 0) ||
               !std::isfinite(sum->get<double>())) {
        reader.fail("\"latency_sum_ns\" is not a number of 0 or more");
    } else {
        result.latencySumNs = sum->get<double>();
    }
    readFineCountsAt(reader, document, "latency_counts_us", result.fineCounts);
    readFineCountsAt(reader, document, "planned_latency_counts_us", result.plannedFineCounts);
    if (reader.problem.empty() && !fineCountsAgree(result)) {
        reader.fail("\"latency_counts_us\" counts other requests than \"latency_counts_ms\"");
    }
}
