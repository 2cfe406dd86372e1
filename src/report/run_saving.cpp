#include "report/run_saving.h"

#include "config/messages.h"
#include "report/result_file_write.h"

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
    if (writeResultFile(config.savePath, run)) return true;
    writeErrorLine(std::string(kSaveWriteFailed) + quotePath(config.savePath));
    return false;
}
