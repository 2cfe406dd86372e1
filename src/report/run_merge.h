// Several runs as one: the union of their requests, as exact as each run.
#pragma once

#include <string>
#include <vector>

#include "report/run_set_check.h"
#include "stats/run_result.h"

// The "Agent:" line of a merge: "N agents of N" for a whole set of agents,
// "merged M runs" for runs that were not agents.
std::string mergedAgentText(const std::vector<NamedRun>& runs);

// One run's figures from several that belong together (runsBelongTogether):
// counts, status classes, clients and processors summed, latency counts
// added, the per-second series added second by second with the mean latency
// weighted by completed requests. A single run comes back unchanged. False,
// with problem set, when a sum exceeds its type.
bool mergeRuns(const std::vector<NamedRun>& runs, RunResult& merged, std::string& problem);
