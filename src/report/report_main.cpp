// velkor-report: prints, merges and charts the result files of velkor runs.
#include <exception>
#include <iostream>

#include "report/report_arguments.h"
#include "report/report_run.h"

int main(int argc, char* argv[]) {
    ReportRequest request;
    std::string problem;
    if (!readReportArguments(argc, argv, request, problem)) {
        std::cerr << "velkor-report: " << problem << std::endl;
        return 1;
    }
    if (request.help) {
        std::cout << kReportHelp << std::flush;
        return 0;
    }
    try {
        return runReport(request, std::cout, std::cerr);
    } catch (const std::exception& error) {  // out of memory on a huge file, say
        std::cerr << "velkor-report: " << error.what() << std::endl;
        return 1;
    }
}
