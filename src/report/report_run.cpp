#include "report/report_run.h"

#include <fstream>
#include <ostream>

#include "config/messages.h"
#include "report/plot_page.h"
#include "report/result_file_read.h"
#include "report/run_merge.h"
#include "stats/run_summary.h"

namespace {

int refuse(std::ostream& err, const std::string& problem) {
    err << "velkor-report: " << problem << std::endl;
    return 1;
}

bool writePage(const std::string& path, const RunResult& result) {
    std::ofstream page(path, std::ios::binary | std::ios::trunc);
    page << plotPage(result);
    page.close();
    return !page.fail();
}

}  // namespace

int runReport(const ReportRequest& request, std::ostream& out, std::ostream& err) {
    std::vector<NamedRun> runs;
    std::string problem;
    for (const std::string& fileName : request.files) {
        NamedRun named{fileName, {}};
        if (!readResultFile(fileName, named.run, problem)) {
            return refuse(err, quotePath(fileName) + ": " + problem);
        }
        runs.push_back(std::move(named));
    }
    RunResult merged;
    if (!runsBelongTogether(runs, problem) || !mergeRuns(runs, merged, problem)) {
        return refuse(err, problem);
    }
    printRunSummary(merged, out);
    if (!request.plotPath.empty() && !writePage(request.plotPath, merged)) {
        return refuse(err, quotePath(request.plotPath) + ": cannot write the page");
    }
    return 0;
}
