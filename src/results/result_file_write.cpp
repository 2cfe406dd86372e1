#include "results/result_file_write.h"

#include <cstdio>
#include <fstream>
#include <random>

#include <nlohmann/json.hpp>

#include "platform/os/file_system.h"
#include "results/result_file_v5.h"
#include "results/result_file_v3.h"
#include "results/result_file_v4.h"

namespace {

// Keys stay in the order written, the order docs/result-file.md gives.
using json = nlohmann::ordered_json;

// JSON strings are UTF-8. A URL that is not (the Windows console hands over
// its code page's bytes) is kept exactly as hex, beside a readable form.
void putUrl(json& settings, const std::string& url) {
    try {
        (void)json(url).dump();
        settings["url"] = url;
    } catch (const json::type_error&) {
        static const char kHex[] = "0123456789abcdef";
        std::string hex;
        for (unsigned char byte : url) {
            hex += kHex[byte >> 4];
            hex += kHex[byte & 0xF];
        }
        // The readable form has U+FFFD for each byte that is no UTF-8.
        const std::string quoted = json(url).dump(-1, ' ', false, json::error_handler_t::replace);
        settings["url"] = json::parse(quoted);
        settings["url_hex"] = hex;
    }
}

// A run read from an older file keeps that file's layout: no writer claims
// figures it does not have.
std::int64_t formatVersionOf(const SavedRun& run) {
    const RunResult& result = run.result;
    if (!result.hasFineCounts) return 1;
    if (!result.hasErrorKinds) return 2;
    if (!result.hasConnections) return 3;
    return run.formatVersion >= 5 ? kResultFormatVersion : 4;
}

json settingsOf(const SavedRun& run) {
    const RunResult& result = run.result;
    json settings = json::object();
    putUrl(settings, result.url);
    settings["duration_s"] = result.durationSec;
    settings["concurrency"] = run.wholeConcurrency;
    settings["target_rps"] = result.targetQps;
    settings["processor_count"] = result.processorCount;
    settings["agent"] = run.agentCount > 0
                            ? json{{"index", run.agentIndex}, {"count", run.agentCount}}
                            : json(nullptr);
    // Header values may hold credentials; the names tell requests apart.
    settings["request"] = {{"method", run.method},
                           {"header_names", run.headerNames},
                           {"body_bytes", run.bodyBytes < 0 ? json(nullptr) : json(run.bodyBytes)}};
    // What tells this run from another: agents of one run share them.
    settings["start_at_unix_ns"] = run.startAtUnixNs != 0 ? json(run.startAtUnixNs) : json(nullptr);
    settings["run_id"] = !run.runId.empty() ? json(run.runId) : json(nullptr);
    if (run.result.hasConnections) {
        settings["connect_rate"] = result.connectRate;
        settings["warmup_s"] = result.warmupSec;
    }
    if (formatVersionOf(run) >= 5) {
        settings["rate_plan"] = ratePlanJson(result.ratePlan);
        settings["client_certificate"] = run.clientCertificate;
    }
    return settings;
}

json latencyCountsOf(const RunResult& result) {
    json pairs = json::array();
    for (const LatencyBucket& bucket : result.latencyCounts) {
        pairs.push_back(json::array({bucket.latencyMs, bucket.count}));
    }
    return pairs;
}

json fineCountsOf(const std::vector<FineBucket>& counts) {
    json pairs = json::array();
    for (const FineBucket& bucket : counts)
        pairs.push_back(json::array({bucket.lowUs, bucket.count}));
    return pairs;
}

// Version 3 rows carry the errors of each kind after the three columns of
// the older layouts.
json secondsOf(const RunResult& result, bool withKinds) {
    json rows = json::array();
    for (const SecondSample& second : result.seconds) {
        json row = json::array({second.completed, second.meanLatencyMs, second.errors});
        if (withKinds) {
            for (std::uint64_t count : second.errorKinds) row.push_back(count);
        }
        if (result.hasConnections) {
            row.push_back(second.connectionsHeld);
            row.push_back(second.connects);
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

json secondsColumnsOf(const RunResult& result, bool withKinds) {
    json columns = {"completed", "mean_latency_ms", "errors"};
    if (withKinds) {
        for (const char* key : kErrorKindKeys) columns.push_back(key);
    }
    if (result.hasConnections) {
        columns.push_back("connections_held");
        columns.push_back("connects");
    }
    return columns;
}

json errorKindsOf(const RunResult& result) {
    json kinds = json::object();
    for (std::size_t kind = 0; kind < kErrorKindCount; ++kind) {
        kinds[kErrorKindKeys[kind]] = result.errorKinds[kind];
    }
    return kinds;
}

json otherCodesOf(const RunResult& result) {
    json pairs = json::array();
    for (const OsErrorCount& code : result.otherErrorCodes) {
        pairs.push_back(json::array({code.code, code.count}));
    }
    return pairs;
}

// Beside the final name, so the rename stays within one file system; random,
// so two runs saving to the same name do not write into one file.
std::string temporaryNameFor(const std::string& path) {
    std::random_device entropy;
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%08x.partial", static_cast<unsigned>(entropy()));
    return path + suffix;
}

}  // namespace

std::string resultFileText(const SavedRun& run) {
    const RunResult& result = run.result;
    const StatusClassCounts& classes = result.statusClasses;
    json document = json::object();
    document["format"] = "velkor result";
    const std::int64_t version = formatVersionOf(run);
    document["format_version"] = version;
    document["velkor_version"] = run.velkorVersion;
    document["settings"] = settingsOf(run);
    document["clients"] = result.concurrency;
    document["start_unix_ns"] = result.startUnixNs;
    document["end_unix_ns"] = result.endUnixNs;
    document["completed"] = result.completed;
    document["errors"] = result.errors;
    if (version >= 3) {
        document["errors_by_kind"] = errorKindsOf(result);
        document["other_error_codes"] = otherCodesOf(result);
    }
    document["status_classes"] = {{"2xx", classes.status2xx},
                                  {"3xx", classes.status3xx},
                                  {"4xx", classes.status4xx},
                                  {"5xx", classes.status5xx},
                                  {"other", classes.other}};
    document["latency_counts_ms"] = latencyCountsOf(result);
    if (result.hasFineCounts) {
        document["latency_sum_ns"] = result.latencySumNs;
        document["latency_counts_us"] = fineCountsOf(result.fineCounts);
        document["planned_latency_counts_us"] = fineCountsOf(result.plannedFineCounts);
    }
    if (version >= 4) document["connections"] = connectionsJson(result.connections);
    document["seconds_columns"] = secondsColumnsOf(result, version >= 3);
    document["seconds"] = secondsOf(result, version >= 3);
    return document.dump() + "\n";
}

bool resultFileCreatable(const std::string& path) {
    if (isDirectory(path)) return false;
    // An existing file must take writes: Windows will not replace a read-only one.
    if (std::ifstream(path).is_open() && !std::ofstream(path, std::ios::app).is_open()) {
        return false;
    }
    const std::string probe = temporaryNameFor(path);
    const bool created = std::ofstream(probe, std::ios::binary).is_open();
    if (created) std::remove(probe.c_str());
    return created;
}

bool writeResultFile(const std::string& path, const SavedRun& run) {
    const std::string temporary = temporaryNameFor(path);
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    if (!file) return false;
    file << resultFileText(run);
    file.close();
    if (!file || !replaceFile(temporary, path)) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}
