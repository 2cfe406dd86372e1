#include "report/result_file_read.h"

#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>

#include <nlohmann/json.hpp>

#include "stats/fine_counts.h"

namespace {

using nlohmann::json;

// Reads typed fields out of the document. The first field that is missing or
// of the wrong kind sets problem; every read after that fails at once.
struct FieldReader {
    std::string& problem;    // empty while every field read so far was good
    std::string where = "";  // prefix of the field names in messages, "settings."

    bool fail(const std::string& what) {
        if (problem.empty()) problem = what;
        return false;
    }

    const json* member(const json& object, const char* key, json::value_t type, const char* kind) {
        if (!problem.empty()) return nullptr;
        const auto found = object.find(key);
        if (found == object.end()) {
            fail("no \"" + where + key + "\" field");
            return nullptr;
        }
        if (found->type() != type) {
            fail("\"" + where + key + "\" is not " + kind);
            return nullptr;
        }
        return &*found;
    }

    // Any JSON integer that fits Number. Parsed JSON keeps non-negative
    // integers unsigned and negative ones signed.
    template <typename Number>
    bool integer(const json& value, const std::string& name, Number& out) {
        if (!problem.empty()) return false;
        constexpr auto kLeast = static_cast<std::int64_t>(std::numeric_limits<Number>::min());
        constexpr auto kMost = static_cast<std::uint64_t>(std::numeric_limits<Number>::max());
        bool fits = false;
        if (value.is_number_unsigned()) {
            fits = value.get<std::uint64_t>() <= kMost;
        } else if (value.is_number_integer()) {
            const auto signedValue = value.get<std::int64_t>();
            fits = signedValue >= kLeast &&
                   (signedValue < 0 || static_cast<std::uint64_t>(signedValue) <= kMost);
        }
        if (!fits) return fail("\"" + name + "\" is not an integer in range");
        out = value.is_number_unsigned() ? static_cast<Number>(value.get<std::uint64_t>())
                                         : static_cast<Number>(value.get<std::int64_t>());
        return true;
    }

    template <typename Number>
    bool field(const json& object, const char* key, Number& out) {
        if (!problem.empty()) return false;
        const auto found = object.find(key);
        if (found == object.end()) return fail("no \"" + where + key + "\" field");
        return integer(*found, where + key, out);
    }
};

bool decodeHex(const std::string& hex, std::string& bytes) {
    if (hex.size() % 2 != 0) return false;
    bytes.clear();
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        int value = 0;
        for (char digit : {hex[i], hex[i + 1]}) {
            const auto at = std::string_view("0123456789abcdef").find(digit);
            if (at == std::string_view::npos) return false;
            value = value * 16 + static_cast<int>(at);
        }
        bytes += static_cast<char>(value);
    }
    return true;
}

void readAgent(FieldReader& reader, const json& settings, SavedRun& run) {
    const auto agent = settings.find("agent");
    if (agent == settings.end()) {
        reader.fail("no \"settings.agent\" field");
        return;
    }
    if (agent->is_null()) return;
    if (!agent->is_object()) {
        reader.fail("\"settings.agent\" is neither null nor an object");
        return;
    }
    reader.where = "settings.agent.";
    if (reader.field(*agent, "index", run.agentIndex) &&
        reader.field(*agent, "count", run.agentCount) &&
        (run.agentIndex < 1 || run.agentIndex > run.agentCount)) {
        reader.fail("\"settings.agent\" is no agent K of N with 1 <= K <= N");
    }
    run.result.agentText = std::to_string(run.agentIndex) + "/" + std::to_string(run.agentCount);
}

void readSettings(FieldReader& reader, const json& document, SavedRun& run) {
    const json* settings = reader.member(document, "settings", json::value_t::object, "an object");
    if (settings == nullptr) return;
    RunResult& result = run.result;
    reader.where = "settings.";
    const json* url = reader.member(*settings, "url", json::value_t::string, "a string");
    if (url != nullptr) result.url = url->get<std::string>();
    const auto hex = settings->find("url_hex");
    if (hex != settings->end() &&
        (!hex->is_string() || !decodeHex(hex->get<std::string>(), result.url))) {
        reader.fail("\"settings.url_hex\" is not a string of hex digit pairs");
    }
    reader.field(*settings, "duration_s", result.durationSec);
    reader.field(*settings, "concurrency", run.wholeConcurrency);
    reader.field(*settings, "target_rps", result.targetQps);
    reader.field(*settings, "processor_count", result.processorCount);
    readAgent(reader, *settings, run);
    reader.where = "";
}

void readStatusClasses(FieldReader& reader, const json& document, StatusClassCounts& classes) {
    const json* counts =
        reader.member(document, "status_classes", json::value_t::object, "an object");
    if (counts == nullptr) return;
    reader.where = "status_classes.";
    reader.field(*counts, "2xx", classes.status2xx);
    reader.field(*counts, "3xx", classes.status3xx);
    reader.field(*counts, "4xx", classes.status4xx);
    reader.field(*counts, "5xx", classes.status5xx);
    reader.field(*counts, "other", classes.other);
    reader.where = "";
}

void readLatencyCounts(FieldReader& reader, const json& document, RunResult& result) {
    const json* pairs =
        reader.member(document, "latency_counts_ms", json::value_t::array, "an array");
    if (pairs == nullptr) return;
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < pairs->size() && reader.problem.empty(); ++i) {
        const json& pair = (*pairs)[i];
        const std::string name = "latency_counts_ms[" + std::to_string(i) + "]";
        if (!pair.is_array() || pair.size() != 2) {
            reader.fail("\"" + name + "\" is not a [milliseconds, count] pair");
            return;
        }
        LatencyBucket bucket{};
        if (!reader.integer(pair[0], name + "[0]", bucket.latencyMs) ||
            !reader.integer(pair[1], name + "[1]", bucket.count)) {
            return;
        }
        if (bucket.count == 0 || (!result.latencyCounts.empty() &&
                                  bucket.latencyMs <= result.latencyCounts.back().latencyMs)) {
            reader.fail("\"latency_counts_ms\" is not ascending with counts above 0");
            return;
        }
        if (bucket.count > std::numeric_limits<std::uint64_t>::max() - total) {
            reader.fail("\"latency_counts_ms\" counts more than 2^64 requests");
            return;
        }
        total += bucket.count;
        result.latencyCounts.push_back(bucket);
    }
}

// Fine counts: [microseconds, count] pairs, each the start of a bucket,
// ascending, counts above 0.
void readFineCounts(FieldReader& reader, const json& document, const char* key,
                    std::vector<FineBucket>& counts) {
    const json* pairs = reader.member(document, key, json::value_t::array, "an array");
    if (pairs == nullptr) return;
    std::uint64_t total = 0;
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
        if (bucket.count == 0 || !isFineBucketLow(bucket.lowUs) ||
            (!counts.empty() && bucket.lowUs <= counts.back().lowUs)) {
            reader.fail("\"" + std::string(key) +
                        "\" is not ascending bucket starts with counts above 0");
            return;
        }
        if (bucket.count > std::numeric_limits<std::uint64_t>::max() - total) {
            reader.fail("\"" + std::string(key) + "\" counts more than 2^64 requests");
            return;
        }
        total += bucket.count;
        counts.push_back(bucket);
    }
}

std::uint64_t totalOf(const RunResult& result) {
    std::uint64_t total = 0;
    for (const LatencyBucket& bucket : result.latencyCounts) total += bucket.count;
    return total;
}

// Version 2: the sum at full resolution and the fine counts, which count the
// same requests as the whole milliseconds. Version 1 files get the sum their
// whole milliseconds give.
void readFineLatencies(FieldReader& reader, const json& document, RunResult& result,
                       std::int64_t version) {
    if (version == 1) {
        result.hasFineCounts = false;
        for (const LatencyBucket& bucket : result.latencyCounts) {
            result.latencySumNs +=
                static_cast<double>(bucket.latencyMs) * static_cast<double>(bucket.count) * 1e6;
        }
        return;
    }
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
    readFineCounts(reader, document, "latency_counts_us", result.fineCounts);
    readFineCounts(reader, document, "planned_latency_counts_us", result.plannedFineCounts);
    std::uint64_t fineTotal = 0;
    for (const FineBucket& bucket : result.fineCounts) fineTotal += bucket.count;
    if (reader.problem.empty() && fineTotal != totalOf(result)) {
        reader.fail("\"latency_counts_us\" counts other requests than \"latency_counts_ms\"");
    }
}

void readSeconds(FieldReader& reader, const json& document, RunResult& result) {
    const json* rows = reader.member(document, "seconds", json::value_t::array, "an array");
    if (rows == nullptr) return;
    for (std::size_t i = 0; i < rows->size() && reader.problem.empty(); ++i) {
        const json& row = (*rows)[i];
        const std::string name = "seconds[" + std::to_string(i) + "]";
        if (!row.is_array() || row.size() != 3 || !row[1].is_number() ||
            !std::isfinite(row[1].get<double>()) || row[1].get<double>() < 0) {
            reader.fail("\"" + name + "\" is not a [completed, mean latency, errors] row");
            return;
        }
        SecondSample second{};
        second.meanLatencyMs = row[1].get<double>();
        if (!reader.integer(row[0], name + "[0]", second.completed) ||
            !reader.integer(row[2], name + "[2]", second.errors)) {
            return;
        }
        result.seconds.push_back(second);
    }
}

bool readDocument(const json& document, SavedRun& run, std::string& problem) {
    if (!document.is_object() || document.value("format", json()) != "velkor result") {
        problem = "not a velkor result file";
        return false;
    }
    FieldReader reader{problem};
    std::int64_t version = 0;
    if (!reader.field(document, "format_version", version)) return false;
    if (version < kOldestResultFormatVersion || version > kResultFormatVersion) {
        problem = "result format version " + std::to_string(version) +
                  ", but this velkor-report reads versions " +
                  std::to_string(kOldestResultFormatVersion) + " to " +
                  std::to_string(kResultFormatVersion);
        return false;
    }
    const json* velkorVersion =
        reader.member(document, "velkor_version", json::value_t::string, "a string");
    if (velkorVersion != nullptr) run.velkorVersion = velkorVersion->get<std::string>();
    RunResult& result = run.result;
    readSettings(reader, document, run);
    reader.field(document, "clients", result.concurrency);
    reader.field(document, "start_unix_ns", result.startUnixNs);
    reader.field(document, "end_unix_ns", result.endUnixNs);
    reader.field(document, "completed", result.completed);
    reader.field(document, "errors", result.errors);
    readStatusClasses(reader, document, result.statusClasses);
    readLatencyCounts(reader, document, result);
    readFineLatencies(reader, document, result, version);
    run.formatVersion = version;
    readSeconds(reader, document, result);
    return problem.empty();
}

}  // namespace

bool parseResultFile(std::string_view text, SavedRun& run, std::string& problem) {
    problem.clear();
    if (text.find_first_not_of(" \t\r\n") == std::string_view::npos) {
        problem = "empty, or cannot be read";
        return false;
    }
    json document;
    try {
        document = json::parse(text);
    } catch (const json::parse_error& error) {
        problem = error.byte > text.size()
                      ? "truncated: the JSON text ends early"
                      : "not JSON (syntax error at byte " + std::to_string(error.byte) + ")";
        return false;
    } catch (const json::exception&) {  // a number beyond any double, "1e999"
        problem = "not JSON that can be read (a number out of range)";
        return false;
    }
    SavedRun read;
    if (!readDocument(document, read, problem)) return false;
    run = std::move(read);
    return true;
}

bool readResultFile(const std::string& path, SavedRun& run, std::string& problem) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    if (file) text << file.rdbuf();
    if (!file.is_open()) {
        problem = "cannot be read";
        return false;
    }
    return parseResultFile(text.str(), run, problem);
}
