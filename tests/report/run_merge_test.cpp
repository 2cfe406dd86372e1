#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <sstream>

#include "report/run_merge.h"
#include "stats/connection_block.h"
#include "stats/run_summary.h"
#include "support/saved_run_fixture.h"

namespace {

std::string summaryOf(const RunResult& result) {
    std::ostringstream out;
    printRunSummary(result, out);
    return out.str();
}

std::vector<NamedRun> named(const std::vector<SavedRun>& runs) {
    std::vector<NamedRun> files;
    for (const SavedRun& run : runs) {
        files.push_back({std::string(1, static_cast<char>('a' + files.size())) + ".json", run});
    }
    return files;
}

// Latency lists of the shapes that break percentile arithmetic: none, one,
// all equal, far beyond any dense range, and random spreads.
std::vector<std::vector<std::uint32_t>> latencyLists(std::mt19937& random) {
    std::vector<std::vector<std::uint32_t>> lists = {
        {}, {42}, std::vector<std::uint32_t>(1000, 7), {0, 4'294'967'295u, 65'536, 1'000'000}};
    for (std::size_t size : {2u, 10u, 99u, 1000u, 12345u}) {
        std::vector<std::uint32_t> list;
        std::exponential_distribution<double> spread(0.05);
        for (std::size_t i = 0; i < size; ++i)
            list.push_back(static_cast<std::uint32_t>(spread(random)));
        lists.push_back(list);
    }
    return lists;
}

TEST(RunMerge, EqualsTheSummaryOfAllLatenciesTogether) {
    std::mt19937 random(12);
    const auto lists = latencyLists(random);
    for (std::size_t trial = 0; trial < 60; ++trial) {
        const std::size_t runCount = 2 + trial % 3;
        std::vector<SavedRun> runs;
        std::vector<std::uint32_t> all;
        for (std::size_t i = 0; i < runCount; ++i) {
            const auto& list = lists[random() % lists.size()];
            runs.push_back(savedRunWith(list, static_cast<std::int64_t>(i)));
            all.insert(all.end(), list.begin(), list.end());
        }
        RunResult merged;
        std::string problem;
        const auto files = named(runs);
        ASSERT_TRUE(runsBelongTogether(files, problem)) << problem;
        ASSERT_TRUE(mergeRuns(files, merged, problem)) << problem;

        // One run that had every request of all of them.
        SavedRun whole = savedRunWith(all);
        whole.result.concurrency = 4 * static_cast<std::int64_t>(runCount);
        whole.result.processorCount = 2 * runCount;
        whole.result.agentText = "merged " + std::to_string(runCount) + " runs";
        whole.result.errors = 0;
        for (const SavedRun& run : runs) whole.result.errors += run.result.errors;
        whole.result.errorKinds = {0, 0, 0, 0, whole.result.errors, 0, 0, 0};
        EXPECT_EQ(summaryOf(merged), summaryOf(whole.result)) << trial;

        // And the percentiles by sorting the union itself.
        std::sort(all.begin(), all.end());
        for (double percent : {50.0, 90.0, 95.0, 99.0}) {
            const std::uint32_t expected =
                all.empty() ? 0 : all[static_cast<std::size_t>(all.size() * percent / 100)];
            EXPECT_EQ(latencyPercentileMs(merged.latencyCounts, percent), expected) << trial;
        }
    }
}

TEST(RunMerge, AddsSecondBySecondWithMeansWeightedByRequests) {
    SavedRun first = savedRunWith({1}, 1);
    SavedRun second = savedRunWith({1}, 2);
    first.result.seconds = {{10, 2.0, 1, {1, 0, 0, 0, 0, 0, 0, 0}}, {0, 0.0, 0}};
    second.result.seconds = {{30, 4.0, 0}, {0, 0.0, 5, {0, 0, 0, 0, 0, 0, 0, 5}}, {4, 8.0, 0}};
    first.result.errorKinds = {1, 0, 0, 0, 0, 0, 0, 2};
    first.result.otherErrorCodes = {{0, 1}, {99, 1}};
    second.result.errorKinds = {0, 0, 0, 0, 0, 0, 0, 5};
    second.result.otherErrorCodes = {{24, 4}, {99, 1}};
    first.result.statusClasses = {1, 2, 3, 4, 5};
    second.result.statusClasses = {10, 20, 30, 40, 50};
    RunResult merged;
    std::string problem;
    ASSERT_TRUE(mergeRuns(named({first, second}), merged, problem));
    ASSERT_EQ(merged.seconds.size(), 3u);
    EXPECT_EQ(merged.seconds[0].completed, 40u);
    EXPECT_DOUBLE_EQ(merged.seconds[0].meanLatencyMs, 3.5);
    EXPECT_EQ(merged.seconds[0].errors, 1u);
    EXPECT_EQ(merged.seconds[1].completed, 0u);
    EXPECT_EQ(merged.seconds[1].meanLatencyMs, 0.0);
    EXPECT_EQ(merged.seconds[1].errors, 5u);
    EXPECT_EQ(merged.seconds[0].errorKinds, (ErrorKindCounts{1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(merged.seconds[1].errorKinds, (ErrorKindCounts{0, 0, 0, 0, 0, 0, 0, 5}));
    EXPECT_EQ(merged.errorKinds, (ErrorKindCounts{1, 0, 0, 0, 0, 0, 0, 7}));
    EXPECT_EQ(errorsByKindText(merged), "connect refused 1, other 7 (OS error 24 x4, 99 x2)");
    // A file without kinds leaves the merge without them.
    second.result.hasErrorKinds = false;
    ASSERT_TRUE(mergeRuns(named({first, second}), merged, problem));
    EXPECT_FALSE(merged.hasErrorKinds);
    EXPECT_DOUBLE_EQ(merged.seconds[2].meanLatencyMs, 8.0);
    EXPECT_EQ(merged.statusClasses.status3xx, 22u);
    EXPECT_EQ(merged.statusClasses.other, 55u);
    EXPECT_EQ(merged.startUnixNs, 1);
}

TEST(RunMerge, RefusesCountsBeyond64Bits) {
    SavedRun first = savedRunWith({1}, 1);
    SavedRun second = savedRunWith({1}, 2);
    first.result.completed = std::numeric_limits<std::uint64_t>::max();
    RunResult merged;
    std::string problem;
    EXPECT_FALSE(mergeRuns(named({first, second}), merged, problem));
    EXPECT_EQ(problem, "the counts of these files add up to more than a 64-bit count holds");
}

SavedRun withUrl(SavedRun run, const char* url) {
    run.result.url = url;
    return run;
}

SavedRun withDuration(SavedRun run, std::int32_t durationSec) {
    run.result.durationSec = durationSec;
    return run;
}

SavedRun withQps(SavedRun run, std::int32_t targetQps) {
    run.result.targetQps = targetQps;
    return run;
}

SavedRun withRequest(SavedRun run, const char* method, std::vector<std::string> headerNames,
                     std::int64_t bodyBytes) {
    run.method = method;
    run.headerNames = std::move(headerNames);
    run.bodyBytes = bodyBytes;
    return run;
}

SavedRun withShape(SavedRun run, std::int32_t connectRate, std::int32_t warmupSec) {
    run.result.connectRate = connectRate;
    run.result.warmupSec = warmupSec;
    return run;
}

SavedRun withClientCertificate(SavedRun run) {
    run.clientCertificate = true;
    return run;
}

SavedRun withClients(SavedRun run, std::int64_t clients) {
    run.result.concurrency = clients;
    return run;
}

// An agent started with --start-at startAtUnixNs and --run-id runId.
SavedRun startedAs(SavedRun run, std::int64_t startAtUnixNs, const char* runId = "") {
    run.startAtUnixNs = startAtUnixNs;
    run.runId = runId;
    return run;
}

TEST(RunSet, AcceptsWholeAgentSetsAndNamesTheFileThatDoesNotFit) {
    constexpr std::int64_t kMonday = 1'796'601'600'250'000'000;  // a --start-at of ...600.25
    constexpr std::int64_t kTuesday = kMonday + 86'400'000'000'000;
    const SavedRun plain = savedRunWith({1}, 1);
    struct Case {
        std::vector<SavedRun> runs;  // files a.json, b.json, ... in this order
        std::string problem;         // expected refusal; empty: accepted
    };
    const Case cases[] = {
        {{agentRun(3, 3, 7), agentRun(1, 3, 7), agentRun(2, 3, 7)}, ""},
        {{plain, savedRunWith({2}, 2), savedRunWith({}, 3)}, ""},
        {{agentRun(2, 4, 9)}, ""},  // one file is reprinted, whatever it is
        {{agentRun(1, 3, 7), agentRun(3, 3, 7)}, "agent 2/3 is missing from the set of 3 agents"},
        {{startedAs(agentRun(1, 2, 7), kMonday, "soak"),
          startedAs(agentRun(2, 2, 7), kMonday, "soak")},
         ""},
        {{startedAs(agentRun(1, 2, 7), kMonday), startedAs(agentRun(2, 2, 7), kTuesday)},
         "\"b.json\": --start-at 1796688000.25 differs from 1796601600.25 in \"a.json\"; they "
         "are not agents of one run"},
        {{startedAs(agentRun(1, 2, 7), kMonday), agentRun(2, 2, 7)},
         "\"b.json\": --start-at none differs from 1796601600.25 in \"a.json\"; they are not "
         "agents of one run"},
        {{startedAs(agentRun(1, 2, 7), 0, "mon"), startedAs(agentRun(2, 2, 7), 0, "tue")},
         "\"b.json\": --run-id \"tue\" differs from \"mon\" in \"a.json\"; they are not agents "
         "of one run"},
        {{agentRun(1, 10, 7), agentRun(8, 10, 7)},
         "agents 2/10, 3/10, 4/10, 5/10, 6/10 and 3 more are missing from the set of 10 agents"},
        {{agentRun(1, 2147483647, 7), agentRun(2, 2147483647, 7)},
         "agents 3/2147483647, 4/2147483647, 5/2147483647, 6/2147483647, 7/2147483647 and "
         "2147483640 more are missing from the set of 2147483647 agents"},
        {{agentRun(1, 2, 7), agentRun(2, 2, 7), agentRun(1, 2, 7)},
         "\"c.json\": agent 1/2 again, already given by \"a.json\""},
        {{agentRun(1, 3, 7), agentRun(2, 4, 7)},
         "\"b.json\": agent count 4 differs from 3 in \"a.json\""},
        {{agentRun(1, 2, 7), agentRun(2, 2, 8)}, "\"b.json\": -c 8 differs from 7 in \"a.json\""},
        {{agentRun(1, 2, 7), withQps(agentRun(2, 2, 7), 100)},
         "\"b.json\": -q 100 differs from 0 in \"a.json\""},
        {{agentRun(1, 2, 7), withClients(agentRun(2, 2, 7), 4)},
         "\"b.json\": agent 2/2 ran 4 clients, but its share of -c 7 is 3"},
        {{plain, agentRun(1, 1, 4)},
         "\"b.json\": an agent's result, unlike \"a.json\"; agents merge only with the other "
         "agents of their run"},
        {{agentRun(1, 2, 4), plain},
         "\"b.json\": no agent's result, unlike \"a.json\"; agents merge only with the other "
         "agents of their run"},
        {{plain, withUrl(savedRunWith({1}, 2), "http://127.0.0.1:3001/")},
         "\"b.json\": URL \"http://127.0.0.1:3001/\" differs from \"http://127.0.0.1:3000/\" in "
         "\"a.json\""},
        {{plain, withDuration(savedRunWith({1}, 2), 4)},
         "\"b.json\": run time 4 s differs from 3 s in \"a.json\""},
        {{withRequest(plain, "POST", {"X-B", "Content-Type"}, 9),
          withRequest(savedRunWith({1}, 2), "POST", {"content-type", "x-b"}, 9)},
         ""},
        {{plain, withRequest(savedRunWith({1}, 2), "HEAD", {}, -1)},
         "\"b.json\": request \"HEAD\" with no headers and no body differs from \"GET\" with "
         "no headers and no body in \"a.json\""},
        {{withRequest(plain, "POST", {"X-A"}, 9),
          withRequest(savedRunWith({1}, 2), "POST", {"X-A", "X-A"}, 9)},
         "\"b.json\": request \"POST\" with headers \"X-A\", \"X-A\" and a 9-byte body differs "
         "from \"POST\" with headers \"X-A\" and a 9-byte body in \"a.json\""},
        {{agentRun(1, 2, 7), withRequest(agentRun(2, 2, 7), "GET", {}, 0)},
         "\"b.json\": request \"GET\" with no headers and a 0-byte body differs from \"GET\" "
         "with no headers and no body in \"a.json\""},
        {{plain, savedRunWith({2}, 2), plain},
         "\"c.json\": the same run as \"a.json\" (same start and end)"},
        {{withShape(agentRun(1, 2, 7), 100, 2), withShape(agentRun(2, 2, 7), 100, 2)}, ""},
        {{withShape(agentRun(1, 2, 7), 100, 0), agentRun(2, 2, 7)},
         "\"b.json\": --connect-rate none differs from 100 a second in \"a.json\""},
        {{plain, withShape(savedRunWith({2}, 2), 0, 1)},
         "\"b.json\": --warmup 1 s differs from 0 s in \"a.json\""},
        {{withClientCertificate(plain), savedRunWith({2}, 2)},
         "\"b.json\": client certificate none differs from one presented in \"a.json\""},
    };
    for (const Case& c : cases) {
        std::string problem;
        EXPECT_EQ(runsBelongTogether(named(c.runs), problem), c.problem.empty()) << c.problem;
        EXPECT_EQ(problem, c.problem);
    }
}

TEST(RunSet, AgentsMergeIntoTheWholeRun) {
    const std::vector<SavedRun> agents = {agentRun(2, 3, 7, {1, 2}), agentRun(1, 3, 7, {3}),
                                          agentRun(3, 3, 7, {4, 4, 4})};
    RunResult merged;
    std::string problem;
    ASSERT_TRUE(mergeRuns(named(agents), merged, problem));
    EXPECT_EQ(merged.agentText, "3 agents of 3");
    EXPECT_EQ(merged.concurrency, 7);
    EXPECT_EQ(merged.completed, 6u);
    EXPECT_EQ(merged.processorCount, 6u);

    RunResult single;
    ASSERT_TRUE(mergeRuns(named({agents[0]}), single, problem));
    EXPECT_EQ(summaryOf(single), summaryOf(agents[0].result));
    EXPECT_EQ(single.agentText, "2/3");
}

// Agents share one plan; plain runs of one plan aimed at its rates times
// their number, as plain runs of one -q aim at its sum.
TEST(RunSet, APlanIsTheWholeRunsForAgentsAndAddsUpForPlainRuns) {
    std::vector<SavedRun> agents = {agentRun(1, 2, 7), agentRun(2, 2, 7)};
    std::vector<SavedRun> plain = {savedRunWith({1}, 1), savedRunWith({2}, 2),
                                   savedRunWith({3}, 3)};
    for (std::vector<SavedRun>* runs : {&agents, &plain}) {
        for (SavedRun& run : *runs) {
            run.result.ratePlan = ratePlanOf({{1, 0, 10}, {run.result.durationSec - 1, 10, 10}});
        }
    }
    RunResult merged;
    std::string problem;
    ASSERT_TRUE(mergeRuns(named(agents), merged, problem)) << problem;
    EXPECT_EQ(ratePlanText(merged.ratePlan), ratePlanText(agents[0].result.ratePlan));
    ASSERT_TRUE(runsBelongTogether(named(plain), problem)) << problem;
    ASSERT_TRUE(mergeRuns(named(plain), merged, problem)) << problem;
    EXPECT_EQ(ratePlanText(merged.ratePlan), "1s:0-30,2s:30");
    EXPECT_NE(summaryOf(merged).find("\nRate plan:           1s:0-30,2s:30\n"), std::string::npos);
    plain[2].result.ratePlan = ratePlanOf({{3, 10, 10}});
    EXPECT_FALSE(runsBelongTogether(named(plain), problem));
}

// Each agent held its own connections: the counts, the fine counts and the
// most held at once add up; all were held once the slowest agent's were.
TEST(RunSet, AgentsConnectionsAddUp) {
    std::vector<SavedRun> agents = {agentRun(1, 2, 7), agentRun(2, 2, 7)};
    for (SavedRun& agent : agents) agent.result.hasConnections = true;
    agents[0].result.connections = {4, 0, {1, 0, 0}, 4, 1'900'000'000, {{120, 4}}, {}};
    agents[1].result.connections = {5, 2, {0, 1, 1}, 3, 2'400'000'999, {{90, 2}, {3000, 3}}, {}};
    RunResult merged;
    std::string problem;
    ASSERT_TRUE(mergeRuns(named(agents), merged, problem)) << problem;
    std::ostringstream block;
    printConnectionBlock(merged, block);
    EXPECT_EQ(block.str(),
              "\nConnections\n"
              "  Opened:             9\n"
              "  Reopened:           2\n"
              "  Closed by server:   3 (announced 1, idle 1, reset 1)\n"
              "  Most held at once:  7\n"
              "  All held after:     2.400 s\n"
              "Connect time (ms): TCP\n"
              "  50.000%     0.120\n"
              "  90.000%     3.000\n"
              "  99.000%     3.000\n"
              " 100.000%     3.000\n");
    agents[1].result.connections.allHeldAfterNs = -1;
    ASSERT_TRUE(mergeRuns(named(agents), merged, problem)) << problem;
    EXPECT_EQ(merged.connections.allHeldAfterNs, -1) << "one agent never held all its share";
}

}  // namespace
