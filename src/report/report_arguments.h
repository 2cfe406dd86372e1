// velkor-report's command line: result files, --plot, --help and --version.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct ReportRequest {
    std::vector<std::string> files;  // result files, in the order given
    std::string plotPath;            // --plot: page of charts to write; empty: none
    bool latency = false;            // --latency: the fine percentiles after the summary
    bool connections = false;        // --connections: the connections' figures after them
    bool help = false;               // --help: print kReportHelp and nothing else
    bool version = false;            // --version: print kReportVersionLine and nothing else
};

// The text of --help, ending in a newline.
extern const std::string_view kReportHelp;

// The one line of --version, the same number as velkor's.
inline constexpr std::string_view kReportVersionLine = "velkor-report " VELKOR_VERSION;

// Reads argv[1..] into request. Options may stand anywhere; "--" ends them.
// On a bad command line returns false with problem set to one line.
bool readReportArguments(int argc, const char* const argv[], ReportRequest& request,
                         std::string& problem);
