// Reads arbitrary bytes as a result file and checks what every outcome must
// give: a refusal is one line; an accepted file writes back to text that
// reads back the same, prints a summary, and merges with another run of it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>

#include "results/result_file_read.h"
#include "results/result_file_write.h"
#include "report/run_merge.h"
#include "stats/run_summary.h"

namespace {

void require(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "result file property broken: %s\n", what);
    std::abort();
}

std::string summaryOf(const RunResult& result) {
    std::ostringstream out;
    printRunSummary(result, out);
    return out.str();
}

void checkMerge(const SavedRun& run) {
    // The same run again, as another run or as the agent after it.
    std::vector<NamedRun> runs = {{"a", run}, {"b", run}};
    runs[1].run.result.startUnixNs ^= 1;
    if (run.agentCount > 0) runs[1].run.agentIndex = run.agentIndex % run.agentCount + 1;
    std::string problem;
    RunResult merged;
    if (!runsBelongTogether(runs, problem)) {
        require(!problem.empty() && problem.find('\n') == std::string::npos, "bad set refusal");
        return;
    }
    if (mergeRuns(runs, merged, problem)) {
        require(merged.completed == run.result.completed * 2, "merged count is not the sum");
        (void)summaryOf(merged);
    } else {
        require(!problem.empty(), "merge refused without a reason");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t sizeBytes) {
    const std::string_view text(reinterpret_cast<const char*>(bytes), sizeBytes);
    SavedRun run;
    std::string problem;
    if (!parseResultFile(text, run, problem)) {
        require(!problem.empty() && problem.find('\n') == std::string::npos,
                "refusal is not exactly one line");
        return 0;
    }
    const std::string written = resultFileText(run);
    SavedRun again;
    if (!parseResultFile(written, again, problem)) {
        std::fprintf(stderr, "read back: %s\n", problem.c_str());
        require(false, "written file does not read back");
    }
    require(resultFileText(again) == written, "written file reads back different");
    require(summaryOf(again.result) == summaryOf(run.result), "summary changed on the way");
    checkMerge(run);
    return 0;
}
