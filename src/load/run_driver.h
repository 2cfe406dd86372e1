// The run: thread pool, reporter thread, one work item per client, the wait
// for all of them, the final summary.
#pragma once

#include "app/test_config.h"

// Runs the load test described by config (Winsock started, URL parsed) and
// returns the exit status: 0 after a run, 1 when the pool could not be set up
// or the --save file could not be written.
// Cleans up Winsock on every path.
int runLoadTest(TestConfig& config);
