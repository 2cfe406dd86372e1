#include "report/report_run.h"

#include <fstream>
#include <ostream>

#include "config/messages.h"
#include "report/plot_page.h"
#include "results/result_file_read.h"
#include "report/run_merge.h"
#include "stats/connection_block.h"
#include "stats/latency_block.h"
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
    if (request.latency) {
        for (const NamedRun& named : runs) {
            if (named.run.formatVersion < 2) {
                return refuse(err, quotePath(named.fileName) +
                                       ": result format version 1 holds no fine latency "
                                       "counts, which --latency needs");
            }
        }
    }
    if (request.connections) {
        for (const NamedRun& named : runs) {
            if (named.run.formatVersion < 4) {
                return refuse(err, quotePath(named.fileName) + ": result format version " +
                                       std::to_string(named.run.formatVersion) +
                                       " holds no connection figures, which --connections needs");
            }
        }
    }
    RunResult merged;
    if (!runsBelongTogether(runs, problem) || !mergeRuns(runs, merged, problem)) {
        return refuse(err, problem);
    }
    printRunSummary(merged, out);
    if (request.latency) printLatencyBlock(merged, out);
    if (request.connections) printConnectionBlock(merged, out);
    if (!request.plotPath.empty() && !writePage(request.plotPath, merged)) {
        return refuse(err, quotePath(request.plotPath) + ": cannot write the page");
    }
    return 0;
}
