#include "results/result_file_v3.h"

#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <string>

#include "results/result_file_checks.h"

namespace {

using nlohmann::json;

static_assert(std::size(kErrorKindKeys) == kErrorKindCount, "a key for every error kind");

// total += value, or false when the sum passes 2^64.
bool addChecked(std::uint64_t& total, std::uint64_t value) {
    if (value > std::numeric_limits<std::uint64_t>::max() - total) return false;
    total += value;
    return true;
}

std::string sumText(bool fits, std::uint64_t sum) {
    return fits ? std::to_string(sum) : std::string("more than 2^64");
}

// "other_error_codes": [code, count] pairs, ascending by code, counts above 0.
void readOtherCodes(FieldReader& reader, const json& document, RunResult& result) {
    const json* pairs =
        reader.member(document, "other_error_codes", json::value_t::array, "an array");
    std::uint64_t total = 0;
    bool fits = true;
    for (std::size_t i = 0; pairs != nullptr && i < pairs->size() && reader.problem.empty(); ++i) {
        const json& pair = (*pairs)[i];
        const std::string name = "other_error_codes[" + std::to_string(i) + "]";
        OsErrorCount code{};
        if (!pair.is_array() || pair.size() != 2) {
            reader.fail("\"" + name + "\" is not a [code, count] pair");
            return;
        }
        if (!reader.integer(pair[0], name + "[0]", code.code) ||
            !reader.integer(pair[1], name + "[1]", code.count)) {
            return;
        }
        if (code.count == 0 ||
            (!result.otherErrorCodes.empty() && code.code <= result.otherErrorCodes.back().code)) {
            reader.fail("\"other_error_codes\" is not ascending by code with counts above 0");
            return;
        }
        fits = fits && addChecked(total, code.count);
        result.otherErrorCodes.push_back(code);
    }
    const std::uint64_t other = result.errorKinds[static_cast<std::size_t>(ErrorKind::Other)];
    if (reader.problem.empty() && (!fits || total != other)) {
        reader.fail("\"errors_by_kind.other\" is " + std::to_string(other) +
                    ", but \"other_error_codes\" add up to " + sumText(fits, total));
    }
}

// Columns after the kinds in a version 4 row: connections held, connects.
constexpr std::size_t kConnectionColumns = 2;

// The connections' columns of a version 4 row.
bool readConnectionColumns(FieldReader& reader, const json& row, const std::string& name,
                           SecondSample& second) {
    constexpr std::size_t kHeld = 3 + kErrorKindCount;
    return reader.integer(row[kHeld], name + "[" + std::to_string(kHeld) + "]",
                          second.connectionsHeld) &&
           reader.integer(row[kHeld + 1], name + "[" + std::to_string(kHeld + 1) + "]",
                          second.connects);
}

// One row: [completed, mean latency ms, errors, kind 1 ... kind 8], and in
// version 4 [..., connections held, connects].
bool readRow(FieldReader& reader, const json& row, const std::string& name, bool connections,
             SecondSample& second) {
    const std::size_t columns = 3 + kErrorKindCount + (connections ? kConnectionColumns : 0);
    if (!row.is_array() || row.size() != columns || !row[1].is_number() ||
        !std::isfinite(row[1].get<double>()) || row[1].get<double>() < 0) {
        return reader.fail("\"" + name +
                           "\" is not a [completed, mean latency, errors, errors by kind" +
                           (connections ? ", connections held, connects" : "") + "] row");
    }
    if (connections && !readConnectionColumns(reader, row, name, second)) return false;
    second.meanLatencyMs = row[1].get<double>();
    if (!reader.integer(row[0], name + "[0]", second.completed) ||
        !reader.integer(row[2], name + "[2]", second.errors)) {
        return false;
    }
    std::uint64_t kinds = 0;
    bool fits = true;
    for (std::size_t kind = 0; kind < kErrorKindCount; ++kind) {
        const std::string column = name + "[" + std::to_string(3 + kind) + "]";
        if (!reader.integer(row[3 + kind], column, second.errorKinds[kind])) return false;
        fits = fits && addChecked(kinds, second.errorKinds[kind]);
    }
    if (!fits || kinds != second.errors) {
        return reader.fail("\"" + name + "\" has " + std::to_string(second.errors) +
                           " errors, but its kinds add up to " + sumText(fits, kinds));
    }
    return true;
}

}  // namespace

void readErrorKinds(FieldReader& reader, const json& document, RunResult& result) {
    result.hasErrorKinds = true;
    const json* kinds =
        reader.member(document, "errors_by_kind", json::value_t::object, "an object");
    if (kinds == nullptr) return;
    reader.where = "errors_by_kind.";
    std::uint64_t total = 0;
    bool fits = true;
    for (std::size_t kind = 0; kind < kErrorKindCount; ++kind) {
        if (!reader.field(*kinds, kErrorKindKeys[kind], result.errorKinds[kind])) break;
        fits = fits && addChecked(total, result.errorKinds[kind]);
    }
    reader.where = "";
    if (reader.problem.empty() && (!fits || total != result.errors)) {
        reader.fail("\"errors\" is " + std::to_string(result.errors) +
                    ", but \"errors_by_kind\" adds up to " + sumText(fits, total));
    }
    readOtherCodes(reader, document, result);
}

void readSecondsWithKinds(FieldReader& reader, const json& document, RunResult& result) {
    const json* rows = reader.member(document, "seconds", json::value_t::array, "an array");
    for (std::size_t i = 0; rows != nullptr && i < rows->size() && reader.problem.empty(); ++i) {
        SecondSample second{};
        const std::string name = "seconds[" + std::to_string(i) + "]";
        if (!readRow(reader, (*rows)[i], name, result.hasConnections, second)) return;
        result.seconds.push_back(second);
    }
}

bool seriesAddsUp(const RunResult& result, std::string& problem) {
    std::uint64_t completed = 0;
    std::uint64_t errors = 0;
    std::uint64_t connects = 0;
    ErrorKindCounts kinds{};
    bool fits = true;
    for (const SecondSample& second : result.seconds) {
        fits = fits && addChecked(completed, second.completed) &&
               addChecked(errors, second.errors) && addChecked(connects, second.connects);
        for (std::size_t kind = 0; kind < kErrorKindCount; ++kind) {
            fits = fits && addChecked(kinds[kind], second.errorKinds[kind]);
        }
    }
    const auto differs = [&](const std::string& key, std::uint64_t total, std::uint64_t sum) {
        if (fits && total == sum) return false;
        problem = "\"" + key + "\" is " + std::to_string(total) +
                  ", but the \"seconds\" rows add up to " + sumText(fits, sum);
        return true;
    };
    if (differs("completed", result.completed, completed) ||
        differs("errors", result.errors, errors) ||
        (result.hasConnections &&
         differs("connections.opened", result.connections.opened, connects))) {
        return false;
    }
    for (std::size_t kind = 0; kind < kErrorKindCount; ++kind) {
        const std::string key = std::string("errors_by_kind.") + kErrorKindKeys[kind];
        if (differs(key, result.errorKinds[kind], kinds[kind])) return false;
    }
    return true;
}
