#include "results/result_file_v1.h"

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "results/result_file_checks.h"

namespace {

using nlohmann::json;

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

// Absent from files written before velkor could send anything but its GET.
void readRequest(FieldReader& reader, const json& settings, SavedRun& run) {
    if (settings.find("request") == settings.end()) return;
    const json* request = reader.member(settings, "request", json::value_t::object, "an object");
    if (request == nullptr) return;
    reader.where = "settings.request.";
    const json* method = reader.member(*request, "method", json::value_t::string, "a string");
    if (method != nullptr) run.method = method->get<std::string>();
    const json* names = reader.member(*request, "header_names", json::value_t::array, "an array");
    for (std::size_t i = 0; names != nullptr && i < names->size() && reader.problem.empty(); ++i) {
        if (!(*names)[i].is_string()) {
            reader.fail("\"settings.request.header_names\" is not an array of strings");
        } else {
            run.headerNames.push_back((*names)[i].get<std::string>());
        }
    }
    const auto body = request->find("body_bytes");
    if (body == request->end()) {
        reader.fail("no \"settings.request.body_bytes\" field");
    } else if (!body->is_null() &&
               reader.integer(*body, "settings.request.body_bytes", run.bodyBytes) &&
               run.bodyBytes < 0) {
        reader.fail("\"settings.request.body_bytes\" is neither null nor a size");
    }
}

// Fields added after the first files were written: absent reads as not given.
void readRunIdentity(FieldReader& reader, const json& settings, SavedRun& run) {
    const auto startAt = settings.find("start_at_unix_ns");
    if (startAt != settings.end() && !startAt->is_null() &&
        reader.integer(*startAt, "settings.start_at_unix_ns", run.startAtUnixNs) &&
        run.startAtUnixNs <= 0) {
        reader.fail("\"settings.start_at_unix_ns\" is not an instant after 1970");
    }
    const auto runId = settings.find("run_id");
    if (runId == settings.end() || runId->is_null()) return;
    if (!runId->is_string() || runId->get<std::string>().empty()) {
        reader.fail("\"settings.run_id\" is neither null nor a non-empty string");
        return;
    }
    run.runId = runId->get<std::string>();
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
    readRequest(reader, *settings, run);
    readRunIdentity(reader, *settings, run);
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
    CountSeries series;
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
        const SeriesFault fault = extendSeries(series, bucket.latencyMs, bucket.count);
        if (fault == SeriesFault::notAscending) {
            reader.fail("\"latency_counts_ms\" is not ascending with counts above 0");
            return;
        }
        if (fault == SeriesFault::tooMany) {
            reader.fail("\"latency_counts_ms\" counts more than 2^64 requests");
            return;
        }
        result.latencyCounts.push_back(bucket);
    }
}

}  // namespace

void readSettingsAndCounts(FieldReader& reader, const json& document, SavedRun& run) {
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
}

void readSecondsSeries(FieldReader& reader, const json& document, RunResult& result) {
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

void sumWholeMilliseconds(RunResult& result) {
    result.hasFineCounts = false;
    for (const LatencyBucket& bucket : result.latencyCounts) {
        result.latencySumNs +=
            static_cast<double>(bucket.latencyMs) * static_cast<double>(bucket.count) * 1e6;
    }
}
