// velkor's --save: the result file of this run, checked before the run and
// written after its summary.
#pragma once

#include "config/test_config.h"
#include "stats/run_result.h"

// True when there is no --save or its file can be created; otherwise writes
// one line to standard error, so the run can stop before it starts.
bool saveFileReady(const TestConfig& config);

// Writes the --save file of the finished run, if any. False after one line on
// standard error when it could not be written.
bool saveRunResult(const TestConfig& config, const RunResult& result);
