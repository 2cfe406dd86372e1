#include "results/result_file_read.h"

#include <cstdint>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "results/result_field_reader.h"
#include "results/result_file_checks.h"
#include "results/result_file_v5.h"
#include "results/result_file_v1.h"
#include "results/result_file_v2.h"
#include "results/result_file_v3.h"
#include "results/result_file_v4.h"

namespace {

using nlohmann::json;

// The format and its version first: a file of another version is refused by
// its number, not by the first key that version lacks.
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
    RunResult& result = run.result;
    readSettingsAndCounts(reader, document, run);
    if (version == 1) {
        sumWholeMilliseconds(result);
    } else {
        readFineLatencies(reader, document, result);
    }
    run.formatVersion = version;
    if (version < 3) {
        readSecondsSeries(reader, document, result);
        return problem.empty() && totalsAgree(result, problem);
    }
    readErrorKinds(reader, document, result);
    if (version >= 4) {
        const auto settings = document.find("settings");
        if (settings != document.end() && settings->is_object()) {
            readRunShape(reader, *settings, result);
            if (version >= 5) {
                readRatePlan(reader, *settings, result);
                readClientCertificate(reader, *settings, run);
            }
        }
        readConnections(reader, document, result);
    }
    readSecondsWithKinds(reader, document, result);
    return problem.empty() && totalsAgree(result, problem) && seriesAddsUp(result, problem);
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
