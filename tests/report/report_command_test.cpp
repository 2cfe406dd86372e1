#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include <nlohmann/json.hpp>

#include "report/plot_page.h"
#include "report/report_arguments.h"
#include "report/report_run.h"
#include "results/result_file_write.h"
#include "stats/latency_block.h"
#include "stats/run_summary.h"
#include "support/older_result_file.h"
#include "support/saved_run_fixture.h"

namespace {

using nlohmann::json;

struct Arguments {
    bool accepted;          // readReportArguments's result
    ReportRequest request;  // what it read
    std::string problem;    // its refusal
};

Arguments readArguments(std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), "velkor-report");
    Arguments read{false, {}, ""};
    read.accepted = readReportArguments(static_cast<int>(arguments.size()), arguments.data(),
                                        read.request, read.problem);
    return read;
}

TEST(ReportArguments, ReadsFilesAndOptionsAnywhere) {
    const Arguments both = readArguments({"a.json", "--plot", "p.html", "b.json"});
    ASSERT_TRUE(both.accepted);
    EXPECT_EQ(both.request.files, (std::vector<std::string>{"a.json", "b.json"}));
    EXPECT_EQ(both.request.plotPath, "p.html");
    const Arguments dashed = readArguments({"--", "-odd.json", "--plot"});
    ASSERT_TRUE(dashed.accepted);
    EXPECT_EQ(dashed.request.files, (std::vector<std::string>{"-odd.json", "--plot"}));
    EXPECT_TRUE(readArguments({"--help"}).request.help);
    EXPECT_TRUE(readArguments({"--version"}).request.version);

    const std::pair<std::vector<const char*>, const char*> refused[] = {
        {{}, "no result file given (see velkor-report --help)"},
        {{"--plot", "p.html"}, "no result file given (see velkor-report --help)"},
        {{"a.json", "--plot"}, "--plot needs a file name"},
        {{"a.json", "--plot", ""}, "--plot needs a file name"},
        {{"--plot", "p", "--plot", "q", "a.json"}, "--plot given twice"},
        {{"a.json", "--merge"}, "unknown option \"--merge\" (see velkor-report --help)"},
    };
    for (const auto& [arguments, problem] : refused) {
        const Arguments read = readArguments(arguments);
        EXPECT_FALSE(read.accepted) << problem;
        EXPECT_EQ(read.problem, problem);
    }
}

TEST(PlotPage, HoldsEverythingAndNoTextOfTheRunCanBreakOut) {
    SavedRun run = savedRunWith({1, 2, 3, 50});
    run.result.url = "http://h/</script><script>alert(1)</script>\xff";
    const std::string page = plotPage(run.result);
    EXPECT_EQ(page.find("{{"), std::string::npos);
    EXPECT_EQ(page.find("alert(1)</script>"), std::string::npos);
    EXPECT_NE(page.find("\\u003c/script>\\u003cscript>alert(1)"), std::string::npos);
    EXPECT_NE(page.find("uPlot"), std::string::npos);
    // Opens offline: nothing is loaded from elsewhere.
    for (const char* reference : {"src=", "href=", "@import", "url("}) {
        EXPECT_EQ(page.find(reference), std::string::npos) << reference;
    }
}

TEST(PlotPage, PercentileCurveFollowsTheSummary) {
    const RunResult result = savedRunWith({1, 2, 3, 4, 5, 6, 7, 8, 9, 100}).result;
    const PercentileCurve curve = percentileCurve(result);
    ASSERT_EQ(curve.percent.size(), 1001u);
    EXPECT_EQ(curve.percent[500], 50.0);
    EXPECT_EQ(curve.latencyMs[500], latencyPercentileMs(result.latencyCounts, 50.0));
    EXPECT_EQ(curve.latencyMs[990], latencyPercentileMs(result.latencyCounts, 99.0));
    EXPECT_EQ(curve.latencyMs.front(), 1u);
    EXPECT_EQ(curve.latencyMs.back(), 100u);
    EXPECT_TRUE(std::is_sorted(curve.latencyMs.begin(), curve.latencyMs.end()));
    EXPECT_EQ(percentileCurve(RunResult{}).latencyMs.back(), 0u);
}

class ReportRun : public testing::Test {
protected:
    void SetUp() override {
        directory_ = std::filesystem::temp_directory_path() /
                     ("velkor-report-test-" + std::to_string(std::random_device{}()));
        std::filesystem::create_directories(directory_);
    }
    void TearDown() override { std::filesystem::remove_all(directory_); }

    std::string save(const char* name, const SavedRun& run) {
        const std::string path = (directory_ / name).string();
        EXPECT_TRUE(writeResultFile(path, run));
        return path;
    }

    int report(ReportRequest request) {
        out_.str("");
        err_.str("");
        return runReport(request, out_, err_);
    }

    std::filesystem::path directory_;
    std::ostringstream out_;
    std::ostringstream err_;
};

TEST_F(ReportRun, PrintsTheRunsSummaryOrOneLineWhyNot) {
    const SavedRun run = savedRunWith({4, 5, 6});
    const std::string path = save("run.json", run);
    std::ostringstream expected;
    printRunSummary(run.result, expected);
    const std::string page = (directory_ / "page.html").string();
    EXPECT_EQ(report({{path}, page, false}), 0);
    EXPECT_EQ(out_.str(), expected.str());
    EXPECT_EQ(err_.str(), "");
    EXPECT_GT(std::filesystem::file_size(page), 50'000u);

    std::ofstream(directory_ / "bad.json") << "{\"format\": \"velkor result\", \"format_ver";
    EXPECT_EQ(report({{path, (directory_ / "bad.json").string()}, "", false}), 1);
    EXPECT_EQ(out_.str(), "");
    EXPECT_EQ(err_.str(), "velkor-report: \"" + (directory_ / "bad.json").string() +
                              "\": truncated: the JSON text ends early\n");

    SavedRun other = savedRunWith({1}, 99, 4);
    EXPECT_EQ(report({{path, save("other.json", other)}, "", false}), 1);
    EXPECT_NE(err_.str().find("other.json\": run time 4 s differs from 3 s in"), std::string::npos);

    EXPECT_EQ(report({{path}, (directory_ / "missing" / "page.html").string(), false}), 1);
    EXPECT_NE(err_.str().find("page.html\": cannot write the page\n"), std::string::npos)
        << err_.str();
}

TEST_F(ReportRun, LatencyBlockOfSeveralFilesIsThatOfAllTheirRequests) {
    const std::vector<std::uint32_t> first = {1, 2, 2, 3, 40};
    const std::vector<std::uint32_t> second = {2, 5, 7, 7, 900, 1};
    const std::string a = save("a.json", savedRunWith(first, 1));
    const std::string b = save("b.json", savedRunWith(second, 2));
    std::vector<std::uint32_t> both = first;
    both.insert(both.end(), second.begin(), second.end());
    RunResult whole = savedRunWith(both).result;
    std::ostringstream block;
    printLatencyBlock(whole, block);
    ReportRequest request{{a, b}, "", true};
    ASSERT_EQ(report(request), 0) << err_.str();
    const std::string text = out_.str();
    ASSERT_NE(text.find("Latency distribution"), std::string::npos);
    EXPECT_EQ(text.substr(text.find("\nLatency distribution")), block.str());

    // A file saved before fine counts cannot give them; it is named.
    const json old = asOlderVersion(json::parse(resultFileText(savedRunWith(second, 3))), 1);
    const std::string oldPath = (directory_ / "old.json").string();
    std::ofstream(oldPath) << old.dump();
    request.files = {a, oldPath};
    EXPECT_EQ(report(request), 1);
    EXPECT_EQ(out_.str(), "");
    EXPECT_EQ(err_.str(), "velkor-report: \"" + oldPath +
                              "\": result format version 1 holds no fine latency counts, which "
                              "--latency needs\n");
    request.latency = false;
    EXPECT_EQ(report(request), 0) << "the summary alone needs no fine counts";
}

}  // namespace
