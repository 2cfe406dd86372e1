// The finished run's figures, gathered from the live run statistics.
#pragma once

#include "config/test_config.h"
#include "stats/run_result.h"

// Fills every field of the result from the settings and the run statistics;
// a paced run also gets its latencies counted from the planned starts.
// Called once every client and the reporter have ended.
RunResult collectRunResult(const TestConfig& config, bool paced = false);

// "none" for a process that runs every client, "K/N" for agent K of N.
std::string agentText(const TestConfig& config);

// The machine's logical processors.
std::uint64_t logicalProcessorCount();
