// A run as its result file keeps it: the run's figures and the settings that
// say how it relates to other runs (the whole run's -c, which agent it was,
// the request it sent).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "stats/run_result.h"

// The result file's layout as written; a reader also takes version 1, which
// has no fine latency counts, version 2, which has no errors by kind and no
// last row of the series, and version 3, which has no connection figures and
// no --connect-rate or --warmup, and version 4, which has no --rate-plan and
// does not tell whether a client certificate was presented; it refuses any
// other.
inline constexpr std::int64_t kResultFormatVersion = 5;
inline constexpr std::int64_t kOldestResultFormatVersion = 1;

struct SavedRun {
    RunResult result;                   // figures; result.concurrency: clients this process ran
    std::int32_t wholeConcurrency = 0;  // -c as given: all clients of the run, over all agents
    std::int32_t agentIndex = 0;        // K of --agent K/N, 1-based; 0 when no agent
    std::int32_t agentCount = 0;        // N of --agent K/N; 0 when no agent
    std::string velkorVersion = VELKOR_VERSION;         // version of the velkor that ran it
    std::int64_t formatVersion = kResultFormatVersion;  // the layout of the file it came from
    std::string method = "GET";                         // the request's method
    std::vector<std::string> headerNames{};  // names of the --header lines, in order; no values
    std::int64_t bodyBytes = -1;             // size of the --body-file, bytes; -1: no body
    std::int64_t startAtUnixNs = 0;          // --start-at instant, ns since 1970; 0 when not given
    std::string runId{};                     // --run-id text; empty when not given
    bool clientCertificate = false;          // --cert: a client certificate was presented
};
