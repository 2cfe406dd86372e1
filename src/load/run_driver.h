// The run: thread pool, reporter thread, one work item per client, the wait
// for all of them, and the figures they leave.
#pragma once

#include "config/test_config.h"
#include "stats/run_result.h"

// Runs the load test described by config (Winsock started, URL parsed) and
// fills result with its figures. False, after one line on standard error,
// when the pool or the reporter could not be set up: then no run took place.
bool runLoadTest(const TestConfig& config, RunResult& result);
