// velkor-report's command line: result files, --plot and --help.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct ReportRequest {
    std::vector<std::string> files;  // result files, in the order given
    std::string plotPath;            // --plot: page of charts to write; empty: none
    bool help = false;               // --help: print kReportHelp and nothing else
};

// The text of --help, ending in a newline.
extern const std::string_view kReportHelp;

// Reads argv[1..] into request. Options may stand anywhere; "--" ends them.
// On a bad command line returns false with problem set to one line.
bool readReportArguments(int argc, const char* const argv[], ReportRequest& request,
                         std::string& problem);
