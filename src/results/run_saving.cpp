#include "results/run_saving.h"

#include "config/messages.h"
#include "http/request_text.h"
#include "results/result_file_write.h"

bool saveFileReady(const TestConfig& config) {
    if (config.savePath.empty() || resultFileCreatable(config.savePath)) return true;
    writeErrorLine(std::string(kSaveCannotCreate) + quotePath(config.savePath));
    return false;
}

bool saveRunResult(const TestConfig& config, const RunResult& result) {
    if (config.savePath.empty()) return true;
    SavedRun run;
    run.result = result;
    run.wholeConcurrency = config.concurrency;
    run.agentIndex = config.agentIndex;
    run.agentCount = config.agentCount;
    run.method = config.method;
    for (const std::string& line : config.headerLines) {
        run.headerNames.push_back(line.substr(0, line.find(':')));
    }
    if (!config.bodyPath.empty() && config.requestText) {
        run.bodyBytes = static_cast<std::int64_t>(requestBodyBytes(*config.requestText));
    }
    run.startAtUnixNs = config.startAtUnixNs;
    run.runId = config.runId;
    run.clientCertificate = !config.certFile.empty();
    if (writeResultFile(config.savePath, run)) return true;
    writeErrorLine(std::string(kSaveWriteFailed) + quotePath(config.savePath));
    return false;
}
