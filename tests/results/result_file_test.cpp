#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>

#include <nlohmann/json.hpp>

#include "results/result_file_read.h"
#include "results/result_file_write.h"
#include "stats/run_summary.h"
#include "support/older_result_file.h"
#include "support/saved_run_fixture.h"

namespace {

using nlohmann::json;

std::string summaryOf(const RunResult& result) {
    std::ostringstream out;
    printRunSummary(result, out);
    return out.str();
}

SavedRun fullRun() {
    SavedRun run = agentRun(2, 3, 7, {0, 1, 1, 19});
    RunResult& result = run.result;
    result.targetQps = 5000;
    const std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
    result.latencyCounts.push_back({4'000'000'000u, most - 4});
    result.fineCounts.push_back(
        {fineBucketLowUs(fineBucketIndex(4'000'000'000LL * 1'000'000)), most - 4});
    result.completed = most;
    result.errors = 12;
    result.statusClasses = {most - 14, 2, 3, 4, 5};
    result.startUnixNs = -5;
    result.seconds = {{0, 0.0, 0, {}, 3, 3},
                      {19, 19.684210526315788, 2, {2, 0, 0, 0, 0, 0, 0, 0}, 5, 4},
                      {3, 1e-7, 0, {}, 7, 2},
                      {most - 22, 4e9, 10, {0, 0, 0, 4, 0, 0, 0, 6}, 0, 0}};
    result.errorKinds = {2, 0, 0, 4, 0, 0, 0, 6};
    result.otherErrorCodes = {{0, 1}, {24, 5}};
    result.latencySumNs = 4'000'000'021'123'456'789.5;
    result.plannedFineCounts = {{0, 3}, {2047, 1}, {2048, 8}, {4094, 2}, {kFineLimitUs / 2, 1}};
    run.method = "POST";
    run.headerNames = {"Content-Type", "authorization"};
    run.bodyBytes = 1024;
    run.startAtUnixNs = 1'796'601'600'250'000'000;
    run.runId = "soak-7";
    result.connectRate = 250;
    result.warmupSec = 1;
    result.hasConnections = true;
    result.connections = {9, 2, {1, 0, 4}, 7, 1'500'000'123, {{87, 8}, {2048, 1}}, {{400, 9}}};
    return run;
}

void expectSameRun(const SavedRun& read, const SavedRun& written) {
    const RunResult& a = read.result;
    const RunResult& b = written.result;
    EXPECT_EQ(a.url, b.url);
    EXPECT_EQ(a.durationSec, b.durationSec);
    EXPECT_EQ(a.concurrency, b.concurrency);
    EXPECT_EQ(a.targetQps, b.targetQps);
    EXPECT_EQ(ratePlanText(a.ratePlan), ratePlanText(b.ratePlan));
    EXPECT_EQ(a.processorCount, b.processorCount);
    EXPECT_EQ(a.agentText, b.agentText);
    EXPECT_EQ(a.startUnixNs, b.startUnixNs);
    EXPECT_EQ(a.endUnixNs, b.endUnixNs);
    EXPECT_EQ(a.completed, b.completed);
    EXPECT_EQ(a.errors, b.errors);
    EXPECT_EQ(a.statusClasses.status2xx, b.statusClasses.status2xx);
    EXPECT_EQ(a.statusClasses.other, b.statusClasses.other);
    ASSERT_EQ(a.latencyCounts.size(), b.latencyCounts.size());
    for (std::size_t i = 0; i < a.latencyCounts.size(); ++i) {
        EXPECT_EQ(a.latencyCounts[i].latencyMs, b.latencyCounts[i].latencyMs);
        EXPECT_EQ(a.latencyCounts[i].count, b.latencyCounts[i].count);
    }
    ASSERT_EQ(a.seconds.size(), b.seconds.size());
    for (std::size_t i = 0; i < a.seconds.size(); ++i) {
        EXPECT_EQ(a.seconds[i].completed, b.seconds[i].completed);
        EXPECT_EQ(a.seconds[i].meanLatencyMs, b.seconds[i].meanLatencyMs);  // to the last bit
        EXPECT_EQ(a.seconds[i].errors, b.seconds[i].errors);
        EXPECT_EQ(a.seconds[i].errorKinds, b.seconds[i].errorKinds);
        EXPECT_EQ(a.seconds[i].connectionsHeld, b.seconds[i].connectionsHeld);
        EXPECT_EQ(a.seconds[i].connects, b.seconds[i].connects);
    }
    EXPECT_EQ(a.connectRate, b.connectRate);
    EXPECT_EQ(a.warmupSec, b.warmupSec);
    EXPECT_EQ(a.hasConnections, b.hasConnections);
    const ConnectionFigures& ca = a.connections;
    const ConnectionFigures& cb = b.connections;
    EXPECT_EQ(ca.opened, cb.opened);
    EXPECT_EQ(ca.reopened, cb.reopened);
    EXPECT_EQ(ca.closes, cb.closes);
    EXPECT_EQ(ca.mostHeld, cb.mostHeld);
    EXPECT_EQ(ca.allHeldAfterNs, cb.allHeldAfterNs);
    EXPECT_EQ(ca.connectCounts.size(), cb.connectCounts.size());
    EXPECT_EQ(ca.handshakeCounts.size(), cb.handshakeCounts.size());
    EXPECT_EQ(a.hasErrorKinds, b.hasErrorKinds);
    EXPECT_EQ(a.errorKinds, b.errorKinds);
    ASSERT_EQ(a.otherErrorCodes.size(), b.otherErrorCodes.size());
    for (std::size_t i = 0; i < a.otherErrorCodes.size(); ++i) {
        EXPECT_EQ(a.otherErrorCodes[i].code, b.otherErrorCodes[i].code);
        EXPECT_EQ(a.otherErrorCodes[i].count, b.otherErrorCodes[i].count);
    }
    EXPECT_EQ(read.wholeConcurrency, written.wholeConcurrency);
    EXPECT_EQ(read.agentIndex, written.agentIndex);
    EXPECT_EQ(read.agentCount, written.agentCount);
    EXPECT_EQ(read.startAtUnixNs, written.startAtUnixNs);
    EXPECT_EQ(read.runId, written.runId);
    EXPECT_EQ(read.velkorVersion, written.velkorVersion);
    EXPECT_EQ(a.latencySumNs, b.latencySumNs);
    EXPECT_EQ(a.hasFineCounts, b.hasFineCounts);
    using Counts = std::vector<FineBucket> RunResult::*;
    for (const Counts counts : {&RunResult::fineCounts, &RunResult::plannedFineCounts}) {
        ASSERT_EQ((a.*counts).size(), (b.*counts).size());
        for (std::size_t i = 0; i < (a.*counts).size(); ++i) {
            EXPECT_EQ((a.*counts)[i].lowUs, (b.*counts)[i].lowUs);
            EXPECT_EQ((a.*counts)[i].count, (b.*counts)[i].count);
        }
    }
    EXPECT_EQ(read.method, written.method);
    EXPECT_EQ(read.headerNames, written.headerNames);
    EXPECT_EQ(read.bodyBytes, written.bodyBytes);
    EXPECT_EQ(summaryOf(a), summaryOf(b));
}

TEST(ResultFile, ReadsBackEveryFigureExactly) {
    SavedRun plain = savedRunWith({3, 3, 8});
    SavedRun empty = savedRunWith({}, 0, 0);
    SavedRun gbkUrl = savedRunWith({1});
    gbkUrl.result.url = "http://h/\xb2\xe2\xca\xd4?q=\"\\";  // a Windows console's bytes
    SavedRun planned = fullRun();
    planned.result.targetQps = 0;
    planned.result.ratePlan =
        ratePlanOf({{2, 0, 10'000'000}, {planned.result.durationSec - 2, 7, 7}});
    for (const SavedRun& written : {fullRun(), plain, empty, gbkUrl, planned}) {
        SavedRun read;
        std::string problem;
        ASSERT_TRUE(parseResultFile(resultFileText(written), read, problem)) << problem;
        expectSameRun(read, written);
    }
    const json gbkDocument = json::parse(resultFileText(gbkUrl));
    EXPECT_EQ(gbkDocument["settings"]["url_hex"], "687474703a2f2f682fb2e2cad43f713d225c");
    EXPECT_FALSE(json::parse(resultFileText(plain))["settings"].contains("url_hex"));

    // Files written before runs had an identity lack its fields: not given.
    json older = json::parse(resultFileText(fullRun()));
    older["settings"].erase("start_at_unix_ns");
    older["settings"].erase("run_id");
    SavedRun read;
    std::string problem;
    ASSERT_TRUE(parseResultFile(older.dump(), read, problem)) << problem;
    EXPECT_EQ(read.startAtUnixNs, 0);
    EXPECT_EQ(read.runId, "");
}

TEST(ResultFile, ReadsVersionOneFilesAsTheirRunsPrintedThem) {
    // A version 1 file: whole milliseconds only, a mean of 1.33333 ms.
    const SavedRun written = savedRunWith({0, 1, 3});
    const json document = asOlderVersion(json::parse(resultFileText(written)), 1);
    SavedRun read;
    std::string problem;
    ASSERT_TRUE(parseResultFile(document.dump(), read, problem)) << problem;
    EXPECT_EQ(read.formatVersion, 1);
    EXPECT_FALSE(read.result.hasFineCounts);
    EXPECT_TRUE(read.result.fineCounts.empty());
    EXPECT_NE(summaryOf(read.result).find("Mean latency:        1.33333 ms\n"), std::string::npos);
}

// A version 2 file knows no kinds and no last row: its summary has no line
// of kinds, its series is not held to the totals, and written again it
// stays version 2.
TEST(ResultFile, ReadsVersionTwoFilesWithoutKinds) {
    SavedRun written = savedRunWith({0, 1, 3, 4, 5});
    written.result.seconds.pop_back();  // the rows of the progress lines alone
    json document = json::parse(resultFileText(written));
    document = asOlderVersion(document, 2);
    SavedRun read;
    std::string problem;
    ASSERT_TRUE(parseResultFile(document.dump(), read, problem)) << problem;
    EXPECT_EQ(read.formatVersion, 2);
    EXPECT_FALSE(read.result.hasErrorKinds);
    EXPECT_EQ(read.result.errors, 2u);
    EXPECT_EQ(summaryOf(read.result).find("Errors by kind"), std::string::npos);
    EXPECT_EQ(json::parse(resultFileText(read)), document);
}

// Files written before the request was recorded hold plain GET runs.
TEST(ResultFile, ReadsAFileWithoutTheRequestAsAPlainGet) {
    json document = json::parse(resultFileText(fullRun()));
    document["settings"].erase("request");
    SavedRun read;
    std::string problem;
    ASSERT_TRUE(parseResultFile(document.dump(), read, problem)) << problem;
    EXPECT_EQ(read.method, "GET");
    EXPECT_TRUE(read.headerNames.empty());
    EXPECT_EQ(read.bodyBytes, -1);
}

TEST(ResultFile, RefusesEveryTruncation) {
    const std::string text = resultFileText(fullRun());
    for (std::size_t length = 0; length + 1 < text.size(); ++length) {
        SavedRun read;
        std::string problem;
        EXPECT_FALSE(parseResultFile(text.substr(0, length), read, problem)) << length;
        EXPECT_FALSE(problem.empty());
        EXPECT_EQ(problem.find('\n'), std::string::npos);
    }
}

// One field of a good file changed, and the problem the reader names.
struct FieldCase {
    const char* pointer;  // JSON pointer of the field to change
    json value;           // its new value; a discarded value removes the field
    const char* problem;  // expected problem text
};

// Each case applied alone to good: the reader refuses it, naming its problem.
template <std::size_t N>
void expectEachProblem(const json& good, const FieldCase (&cases)[N]) {
    for (const FieldCase& c : cases) {
        json document = good;
        const json::json_pointer pointer(c.pointer);
        if (c.value.is_discarded()) {
            document[pointer.parent_pointer()].erase(pointer.back());
        } else {
            document[pointer] = c.value;
        }
        SavedRun read;
        std::string problem;
        EXPECT_FALSE(parseResultFile(document.dump(), read, problem)) << c.pointer;
        EXPECT_EQ(problem, c.problem) << c.pointer;
    }
}

TEST(ResultFile, NamesWhatIsWrong) {
    const json kRemove = json(json::value_t::discarded);
    const FieldCase cases[] = {
        {"/format", "other", "not a velkor result file"},
        {"/format_version", 6,
         "result format version 6, but this velkor-report reads versions 1 to 5"},
        {"/format_version", 0,
         "result format version 0, but this velkor-report reads versions 1 to 5"},
        {"/format_version", "1", "\"format_version\" is not an integer in range"},
        {"/completed", kRemove, "no \"completed\" field"},
        {"/completed", -1, "\"completed\" is not an integer in range"},
        {"/completed", 1.5, "\"completed\" is not an integer in range"},
        {"/settings/duration_s", 2147483648LL,
         "\"settings.duration_s\" is not an integer in range"},
        {"/settings/url", 7, "\"settings.url\" is not a string"},
        {"/settings/url_hex", "7g", "\"settings.url_hex\" is not a string of hex digit pairs"},
        {"/settings/agent", json{{"index", 3}, {"count", 2}},
         "\"settings.agent\" is no agent K of N with 1 <= K <= N"},
        {"/settings/agent", 1, "\"settings.agent\" is neither null nor an object"},
        {"/settings/request", "GET", "\"settings.request\" is not an object"},
        {"/settings/request/method", kRemove, "no \"settings.request.method\" field"},
        {"/settings/request/header_names", json::parse("[\"A\", 1]"),
         "\"settings.request.header_names\" is not an array of strings"},
        {"/settings/request/body_bytes", -1,
         "\"settings.request.body_bytes\" is neither null nor a size"},
        {"/settings/request/body_bytes", kRemove, "no \"settings.request.body_bytes\" field"},
        {"/status_classes/5xx", kRemove, "no \"status_classes.5xx\" field"},
        {"/latency_counts_ms", json::parse("[[5,1],[5,2]]"),
         "\"latency_counts_ms\" is not ascending with counts above 0"},
        {"/latency_counts_ms", json::parse("[[5,0]]"),
         "\"latency_counts_ms\" is not ascending with counts above 0"},
        {"/latency_counts_ms", json::parse("[[5]]"),
         "\"latency_counts_ms[0]\" is not a [milliseconds, count] pair"},
        {"/latency_counts_ms", json::parse("[[4294967296,1]]"),
         "\"latency_counts_ms[0][0]\" is not an integer in range"},
        {"/latency_counts_ms", json::parse("[[1,18446744073709551615],[2,1]]"),
         "\"latency_counts_ms\" counts more than 2^64 requests"},
        {"/latency_sum_ns", kRemove, "no \"latency_sum_ns\" field"},
        {"/latency_sum_ns", -1, "\"latency_sum_ns\" is not a number of 0 or more"},
        {"/latency_counts_us", kRemove, "no \"latency_counts_us\" field"},
        {"/latency_counts_us", json::parse("[[1000,1],[2049,1]]"),
         "\"latency_counts_us\" is not ascending bucket starts with counts above 0"},
        {"/latency_counts_us", json::parse("[[2000,1],[1000,1]]"),
         "\"latency_counts_us\" is not ascending bucket starts with counts above 0"},
        {"/latency_counts_us", json::parse("[[1000,1]]"),
         "\"latency_counts_us\" counts other requests than \"latency_counts_ms\""},
        {"/planned_latency_counts_us", json::parse("[[1000]]"),
         "\"planned_latency_counts_us[0]\" is not a [microseconds, count] pair"},
        {"/planned_latency_counts_us", json::parse("[[9007199254740992,1]]"),
         "\"planned_latency_counts_us\" is not ascending bucket starts with counts above 0"},
        {"/completed", 3, "\"completed\" is 3, but the latency counts add up to 2"},
        {"/status_classes/4xx", 1, "\"completed\" is 2, but the status classes add up to 3"},
        {"/status_classes/other", 18446744073709551615ULL,
         "\"completed\" is 2, but the status classes add up to more than 2^64"},
        {"/settings/start_at_unix_ns", -1,
         "\"settings.start_at_unix_ns\" is not an instant after 1970"},
        {"/settings/run_id", "", "\"settings.run_id\" is neither null nor a non-empty string"},
        {"/seconds", json::parse("[[1,-0.5,0,0,0,0,0,0,0,0,0]]"),
         "\"seconds[0]\" is not a [completed, mean latency, errors, errors by kind] row"},
        {"/seconds", json::parse("[[1,2,0]]"),
         "\"seconds[0]\" is not a [completed, mean latency, errors, errors by kind] row"},
        {"/seconds", json::parse("[[1,2,-1,0,0,0,0,0,0,0,0]]"),
         "\"seconds[0][2]\" is not an integer in range"},
        {"/seconds/3/7", 3, "\"seconds[3]\" has 2 errors, but its kinds add up to 3"},
        {"/seconds/3/0", 1, "\"completed\" is 2, but the \"seconds\" rows add up to 1"},
        {"/seconds/0/2", 1, "\"seconds[0]\" has 1 errors, but its kinds add up to 0"},
        {"/seconds", json::parse("[[2,1.5,0,0,0,0,0,0,0,0,0],[0,0,1,0,0,0,0,1,0,0,0]]"),
         "\"errors\" is 2, but the \"seconds\" rows add up to 1"},
        {"/seconds", json::parse("[[2,1.5,1,1,0,0,0,0,0,0,0],[0,0,1,0,0,0,0,1,0,0,0]]"),
         "\"errors_by_kind.connect_refused\" is 0, but the \"seconds\" rows add up to 1"},
        {"/errors_by_kind", kRemove, "no \"errors_by_kind\" field"},
        {"/errors_by_kind/tls_failed", kRemove, "no \"errors_by_kind.tls_failed\" field"},
        {"/errors_by_kind/malformed", 1, "\"errors\" is 2, but \"errors_by_kind\" adds up to 3"},
        {"/other_error_codes", json::parse("[[24,1]]"),
         "\"errors_by_kind.other\" is 0, but \"other_error_codes\" add up to 1"},
        {"/other_error_codes", json::parse("[[24,0]]"),
         "\"other_error_codes\" is not ascending by code with counts above 0"},
        {"/other_error_codes", json::parse("[[24]]"),
         "\"other_error_codes[0]\" is not a [code, count] pair"},
    };
    expectEachProblem(json::parse(resultFileText(savedRunWith({1, 2}))), cases);
    const std::pair<const char*, const char*> texts[] = {
        {"", "empty, or cannot be read"},
        {" \n", "empty, or cannot be read"},
        {"[]", "not a velkor result file"},
        {"{} x", "not JSON (syntax error at byte 4)"},
        {"\xff", "not JSON (syntax error at byte 1)"},
        {"{\"completed\": 1E999}", "not JSON that can be read (a number out of range)"},
    };
    for (const auto& [text, expected] : texts) {
        SavedRun read;
        std::string problem;
        EXPECT_FALSE(parseResultFile(text, read, problem));
        EXPECT_EQ(problem, expected);
    }
}

// Version 4: the run's shape and the connections' figures, which the
// series' connects must add up to; version 5: whether a client certificate
// was presented.
TEST(ResultFile, NamesWhatIsWrongWithTheConnections) {
    const json kRemove = json(json::value_t::discarded);
    const FieldCase cases[] = {
        {"/settings/client_certificate", kRemove, "no \"settings.client_certificate\" field"},
        {"/settings/client_certificate", 1, "\"settings.client_certificate\" is not true or false"},
        {"/settings/connect_rate", kRemove, "no \"settings.connect_rate\" field"},
        {"/settings/connect_rate", -1, "\"settings.connect_rate\" is below 0"},
        {"/settings/warmup_s", 9, "\"settings.warmup_s\" is not below the run time"},
        {"/connections", kRemove, "no \"connections\" field"},
        {"/connections/opened", "2", "\"connections.opened\" is not an integer in range"},
        {"/connections/reopened", 3,
         "\"connections.reopened\" is more than \"connections.opened\""},
        {"/connections/closed_by_server/idle", kRemove,
         "no \"connections.closed_by_server.idle\" field"},
        {"/connections/all_held_after_ns", -2,
         "\"connections.all_held_after_ns\" is neither null nor a time"},
        {"/connections/connect_counts_us", json::parse("[[5,1],[4,1]]"),
         "\"connect_counts_us\" is not ascending bucket starts with counts above 0"},
        {"/connections/handshake_counts_us", kRemove,
         "no \"connections.handshake_counts_us\" field"},
        {"/seconds/0/12", 1, "\"connections.opened\" is 2, but the \"seconds\" rows add up to 1"},
        {"/seconds", json::parse("[[2,1.5,0,0,0,0,0,0,0,0,0]]"),
         "\"seconds[0]\" is not a [completed, mean latency, errors, errors by kind, "
         "connections held, connects] row"},
    };
    SavedRun run = savedRunWith({1, 2});
    run.result.durationSec = 4;
    run.result.hasConnections = true;
    run.result.connections.opened = 2;
    run.result.connections.allHeldAfterNs = 5;
    run.result.seconds[0].connects = 2;
    const json good = json::parse(resultFileText(run));
    ASSERT_EQ(good["format_version"], 5);
    expectEachProblem(good, cases);
}

// Version 5: the rate plan, within the limits of --rate-plan and as long as
// the run. A version 4 file has none.
TEST(ResultFile, NamesWhatIsWrongWithTheRatePlan) {
    const json kRemove = json(json::value_t::discarded);
    const FieldCase cases[] = {
        {"/settings/rate_plan", kRemove, "no \"settings.rate_plan\" field"},
        {"/settings/rate_plan", json::array(),
         "\"settings.rate_plan\" is neither null nor 1 to 1000 steps"},
        {"/settings/rate_plan/1/2", -1,
         "\"settings.rate_plan[1]\" is outside the limits of --rate-plan"},
        {"/settings/rate_plan/0/1", 10'000'001,
         "\"settings.rate_plan[0]\" is outside the limits of --rate-plan"},
        {"/settings/rate_plan/1/0", 3, "\"settings.rate_plan\" lasts 4 s, not the run time 3 s"},
        {"/settings/target_rps", 100,
         "\"settings.rate_plan\" and \"settings.target_rps\" both pace the run"},
    };
    SavedRun run = savedRunWith({1, 2});
    run.result.hasConnections = true;
    run.result.ratePlan = ratePlanOf({{1, 0, 100}, {2, 100, 100}});
    json good = json::parse(resultFileText(run));
    ASSERT_EQ(good["settings"]["rate_plan"], json::parse("[[1,0,100],[2,100,100]]"));
    expectEachProblem(good, cases);

    good["format_version"] = 4;
    good["settings"].erase("rate_plan");
    SavedRun read;
    std::string problem;
    ASSERT_TRUE(parseResultFile(good.dump(), read, problem)) << problem;
    EXPECT_TRUE(read.result.ratePlan.steps.empty());
}

// The client certificate reads back; a version 4 file, which does not tell,
// reads as a run without one and stays version 4 when written again.
TEST(ResultFile, KeepsWhetherAClientCertificateWasPresented) {
    SavedRun run = savedRunWith({1, 2});
    run.result.hasConnections = true;
    run.result.connections.opened = 2;
    run.result.seconds[0].connects = 2;
    run.clientCertificate = true;
    SavedRun read;
    std::string problem;
    ASSERT_TRUE(parseResultFile(resultFileText(run), read, problem)) << problem;
    EXPECT_TRUE(read.clientCertificate);
    json older = json::parse(resultFileText(run));
    older["format_version"] = 4;
    older["settings"].erase("client_certificate");
    older["settings"].erase("rate_plan");
    ASSERT_TRUE(parseResultFile(older.dump(), read, problem)) << problem;
    EXPECT_FALSE(read.clientCertificate);
    EXPECT_EQ(read.formatVersion, 4);
    EXPECT_EQ(json::parse(resultFileText(read)), older);
}

class ResultFileOnDisk : public testing::Test {
protected:
    void SetUp() override {
        directory_ = std::filesystem::temp_directory_path() /
                     ("velkor-result-test-" + std::to_string(std::random_device{}()));
        std::filesystem::create_directories(directory_);
    }
    void TearDown() override { std::filesystem::remove_all(directory_); }

    std::string pathOf(const char* name) const { return (directory_ / name).string(); }
    std::size_t filesInDirectory() const {
        return static_cast<std::size_t>(
            std::distance(std::filesystem::directory_iterator(directory_),
                          std::filesystem::directory_iterator()));
    }

    std::filesystem::path directory_;
};

TEST_F(ResultFileOnDisk, ReplacesTheFileAndLeavesNothingElse) {
    const std::string path = pathOf("run.json");
    EXPECT_TRUE(resultFileCreatable(path));
    EXPECT_EQ(filesInDirectory(), 0u);
    ASSERT_TRUE(writeResultFile(path, savedRunWith({1, 2, 3})));
    ASSERT_TRUE(writeResultFile(path, savedRunWith({9})));
    EXPECT_TRUE(resultFileCreatable(path));
    EXPECT_EQ(filesInDirectory(), 1u);
    SavedRun read;
    std::string problem;
    ASSERT_TRUE(readResultFile(path, read, problem)) << problem;
    EXPECT_EQ(read.result.completed, 1u);
}

TEST_F(ResultFileOnDisk, RefusesWhatCannotBeCreated) {
    for (const std::string& path : {pathOf("missing/run.json"), directory_.string()}) {
        EXPECT_FALSE(resultFileCreatable(path)) << path;
        EXPECT_FALSE(writeResultFile(path, savedRunWith({1}))) << path;
    }
    EXPECT_EQ(filesInDirectory(), 0u);
    SavedRun read;
    std::string problem;
    EXPECT_FALSE(readResultFile(pathOf("absent.json"), read, problem));
    EXPECT_EQ(problem, "cannot be read");
}

}  // namespace
