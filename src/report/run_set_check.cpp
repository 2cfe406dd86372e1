#include "report/run_set_check.h"

#include <algorithm>

#include "config/messages.h"
#include "config/client_share.h"

namespace {

std::string agentName(const SavedRun& run) {
    return "agent " + std::to_string(run.agentIndex) + "/" + std::to_string(run.agentCount);
}

// "b.json: run time 10 s differs from 20 s in a.json"
std::string differs(const NamedRun& named, const NamedRun& first, const std::string& what,
                    const std::string& value, const std::string& firstValue) {
    return quotePath(named.fileName) + ": " + what + " " + value + " differs from " + firstValue +
           " in " + quotePath(first.fileName);
}

// Header names compare as HTTP reads them: in any case and any order.
std::vector<std::string> comparableNames(const SavedRun& run) {
    std::vector<std::string> names = run.headerNames;
    for (std::string& name : names) {
        for (char& c : name) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool sameRequest(const SavedRun& one, const SavedRun& other) {
    return one.method == other.method && one.bodyBytes == other.bodyBytes &&
           comparableNames(one) == comparableNames(other);
}

// "\"POST\" with headers \"Content-Type\", \"X-A\" and a 1024-byte body"
std::string describeRequest(const SavedRun& run) {
    std::string text = quoteForMessage(run.method) + " with ";
    for (std::size_t i = 0; i < run.headerNames.size(); ++i) {
        text += (i == 0 ? "headers " : ", ") + quoteForMessage(run.headerNames[i]);
    }
    if (run.headerNames.empty()) text += "no headers";
    return text + (run.bodyBytes < 0 ? " and no body"
                                     : " and a " + std::to_string(run.bodyBytes) + "-byte body");
}

// Unix seconds as --start-at takes them, "1765000000.25"; "none" when not given.
std::string startAtText(std::int64_t startAtUnixNs) {
    if (startAtUnixNs == 0) return "none";
    std::string fraction = std::to_string(1'000'000'000 + startAtUnixNs % 1'000'000'000).substr(1);
    while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
    const std::string whole = std::to_string(startAtUnixNs / 1'000'000'000);
    return fraction.empty() ? whole : whole + "." + fraction;
}

// A file without --rate-plan was paced by -q, or not at all.
std::string planText(const RatePlan& plan) {
    return plan.steps.empty() ? "none" : ratePlanText(plan);
}

// A file without --connect-rate opened every connection at once.
std::string rateText(std::int32_t connectRate) {
    return connectRate > 0 ? std::to_string(connectRate) + " a second" : "none";
}

std::string certificateText(const SavedRun& run) {
    return run.clientCertificate ? "one presented" : "none";
}

std::string runIdText(const std::string& runId) {
    return runId.empty() ? "none" : quoteForMessage(runId);
}

// Agents of one run were started with one --start-at instant and one
// --run-id; files that differ in either come from different runs.
bool sameRunIdentity(const NamedRun& named, const NamedRun& first, std::string& problem) {
    const SavedRun& one = named.run;
    const SavedRun& base = first.run;
    if (one.startAtUnixNs != base.startAtUnixNs) {
        problem = differs(named, first, "--start-at", startAtText(one.startAtUnixNs),
                          startAtText(base.startAtUnixNs));
    } else if (one.runId != base.runId) {
        problem = differs(named, first, "--run-id", runIdText(one.runId), runIdText(base.runId));
    }
    if (!problem.empty()) problem += "; they are not agents of one run";
    return problem.empty();
}

bool settingsAgree(const NamedRun& named, const NamedRun& first, std::string& problem) {
    const RunResult& one = named.run.result;
    const RunResult& base = first.run.result;
    if (one.url != base.url) {
        problem = differs(named, first, "URL", quoteForMessage(one.url), quoteForMessage(base.url));
    } else if (one.durationSec != base.durationSec) {
        problem = differs(named, first, "run time", std::to_string(one.durationSec) + " s",
                          std::to_string(base.durationSec) + " s");
    } else if (one.connectRate != base.connectRate) {
        problem = differs(named, first, "--connect-rate", rateText(one.connectRate),
                          rateText(base.connectRate));
    } else if (ratePlanText(one.ratePlan) != ratePlanText(base.ratePlan)) {
        problem =
            differs(named, first, "--rate-plan", planText(one.ratePlan), planText(base.ratePlan));
    } else if (one.warmupSec != base.warmupSec) {
        problem = differs(named, first, "--warmup", std::to_string(one.warmupSec) + " s",
                          std::to_string(base.warmupSec) + " s");
    } else if (named.run.clientCertificate != first.run.clientCertificate) {
        // A server that asks for a certificate treats the two apart.
        problem = differs(named, first, "client certificate", certificateText(named.run),
                          certificateText(first.run));
    } else if (!sameRequest(named.run, first.run)) {
        problem = differs(named, first, "request", describeRequest(named.run),
                          describeRequest(first.run));
    } else if ((named.run.agentCount > 0) != (first.run.agentCount > 0)) {
        problem = quotePath(named.fileName) + ": " +
                  (named.run.agentCount > 0 ? "an agent's result" : "no agent's result") +
                  ", unlike " + quotePath(first.fileName) + "; agents merge only with " +
                  "the other agents of their run";
    }
    return problem.empty();
}

// Agents of one run share -c, -q and N; each ran exactly its share of -c.
bool agentFits(const NamedRun& named, const NamedRun& first, std::string& problem) {
    const SavedRun& one = named.run;
    const SavedRun& base = first.run;
    if (!sameRunIdentity(named, first, problem)) return false;
    if (one.agentCount != base.agentCount) {
        problem = differs(named, first, "agent count", std::to_string(one.agentCount),
                          std::to_string(base.agentCount));
    } else if (one.wholeConcurrency != base.wholeConcurrency) {
        problem = differs(named, first, "-c", std::to_string(one.wholeConcurrency),
                          std::to_string(base.wholeConcurrency));
    } else if (one.result.targetQps != base.result.targetQps) {
        problem = differs(named, first, "-q", std::to_string(one.result.targetQps),
                          std::to_string(base.result.targetQps));
    } else {
        TestConfig share;
        share.concurrency = one.wholeConcurrency;
        share.agentIndex = one.agentIndex;
        share.agentCount = one.agentCount;
        if (one.result.concurrency != localClientCount(share)) {
            problem = quotePath(named.fileName) + ": " + agentName(one) + " ran " +
                      std::to_string(one.result.concurrency) + " clients, but its share of -c " +
                      std::to_string(one.wholeConcurrency) + " is " +
                      std::to_string(localClientCount(share));
        }
    }
    return problem.empty();
}

std::string missingAgents(const std::vector<std::int32_t>& missing, std::int64_t missingCount,
                          std::int32_t count) {
    std::string text = missingCount == 1 ? "agent " : "agents ";
    for (std::size_t i = 0; i < missing.size(); ++i) {
        text += (i == 0 ? "" : ", ") + std::to_string(missing[i]) + "/" + std::to_string(count);
    }
    const auto unnamed = missingCount - static_cast<std::int64_t>(missing.size());
    if (unnamed > 0) text += " and " + std::to_string(unnamed) + " more";
    return text + (missingCount == 1 ? " is" : " are") + " missing from the set of " +
           std::to_string(count) + " agents";
}

// Every agent 1..N exactly once; the runs are agents of one N already. Works
// on the files given, never on N, which a damaged file could make huge.
bool agentSetComplete(const std::vector<NamedRun>& runs, std::string& problem) {
    std::vector<const NamedRun*> sorted;
    for (const NamedRun& named : runs) sorted.push_back(&named);
    std::stable_sort(sorted.begin(), sorted.end(), [](const NamedRun* a, const NamedRun* b) {
        return a->run.agentIndex < b->run.agentIndex;
    });
    for (std::size_t i = 1; i < sorted.size(); ++i) {
        if (sorted[i]->run.agentIndex == sorted[i - 1]->run.agentIndex) {
            problem = quotePath(sorted[i]->fileName) + ": " + agentName(sorted[i]->run) +
                      " again, already given by " + quotePath(sorted[i - 1]->fileName);
            return false;
        }
    }
    const std::int32_t count = runs.front().run.agentCount;
    const std::int64_t missingCount = count - static_cast<std::int64_t>(sorted.size());
    if (missingCount == 0) return true;
    constexpr std::size_t kNamed = 5;  // missing agents named in the message
    std::vector<std::int32_t> missing;
    std::int64_t expected = 1;
    for (std::size_t i = 0; i <= sorted.size() && missing.size() < kNamed; ++i) {
        const std::int64_t next = i < sorted.size() ? sorted[i]->run.agentIndex : count + 1LL;
        for (; expected < next && missing.size() < kNamed; ++expected) {
            missing.push_back(static_cast<std::int32_t>(expected));
        }
        expected = next + 1;
    }
    problem = missingAgents(missing, missingCount, count);
    return false;
}

// The same plain run given twice would count its requests twice. Runs of
// their own start and end to the nanosecond are the same run.
bool sameRunAgain(const std::vector<NamedRun>& runs, std::size_t at, std::string& problem) {
    const RunResult& one = runs[at].run.result;
    for (std::size_t before = 0; before < at; ++before) {
        const RunResult& other = runs[before].run.result;
        if (one.startUnixNs == other.startUnixNs && one.endUnixNs == other.endUnixNs) {
            problem = quotePath(runs[at].fileName) + ": the same run as " +
                      quotePath(runs[before].fileName) + " (same start and end)";
            return true;
        }
    }
    return false;
}

}  // namespace

bool runsBelongTogether(const std::vector<NamedRun>& runs, std::string& problem) {
    problem.clear();
    if (runs.size() < 2) return true;  // one file is re-printed as it is, agent or not
    const NamedRun& first = runs.front();
    for (std::size_t at = 0; at < runs.size(); ++at) {
        const NamedRun& named = runs[at];
        if (!settingsAgree(named, first, problem)) return false;
        if (first.run.agentCount > 0 && !agentFits(named, first, problem)) return false;
        if (first.run.agentCount == 0 && sameRunAgain(runs, at, problem)) return false;
    }
    return first.run.agentCount == 0 || agentSetComplete(runs, problem);
}
