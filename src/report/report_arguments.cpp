#include "report/report_arguments.h"

#include "config/messages.h"

const std::string_view kReportHelp =
    R"(Usage: velkor-report [--latency] [--connections] [--plot PAGE.html] FILE...

Prints the summary of runs saved with velkor's --save FILE.

One file: prints exactly the summary that its run printed.

Several files: merges them into one run and prints its summary. Completed
requests, errors, status classes, clients and cores are summed; latencies are
added exactly, so the percentiles are those of all requests together; the
rate is all completed requests over the run time. The files must have the
same URL and run time. Agents' files (velkor --agent K/N) merge only as a
whole set: agents 1 to N of one run, each once, with the same -c and -q.
The "Agent:" line of a merge reads "N agents of N" for a set of agents and
"merged M runs" for runs that were not agents.

Options:
  --latency         also print the latency at 50, 75, 90, 99, 99.9, 99.99,
                    99.999 and 100 % of the requests in ms with three
                    decimals, from the fine counts; for paced runs a second
                    column counts from each request's planned start. Needs
                    files of format version 2.
  --connections     also print the connections' figures: opened, reopened,
                    closed by the server by kind, the most held at once, the
                    time until all clients held one, and the connect and TLS
                    handshake times. Needs files of format version 4; in a
                    merge the counts and the most held add up, and all were
                    held once the last file's clients were.
  --plot PAGE.html  also write a page of charts: requests (beside the planned
                    ones of a paced run), mean latency,
                    errors and connections held per second, and the latency,
                    connect and handshake time distributions. The page holds
                    everything it needs and opens without a network.
  --help            print this text and exit.
  --version         print the version on one line and exit.
  --                what follows is a file name, even when it starts with -.

Exit status: 0 when the summary was printed (and the page written); 1 after
any bad input (no file, unreadable, not a result file, settings that differ,
an incomplete agent set), told in one line on standard error.
)";

bool readReportArguments(int argc, const char* const argv[], ReportRequest& request,
                         std::string& problem) {
    bool optionsEnded = false;
    for (int at = 1; at < argc; ++at) {
        const std::string_view argument = argv[at];
        if (optionsEnded || argument.empty() || argument.front() != '-' || argument == "-") {
            request.files.emplace_back(argument);
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (argument == "--help" || argument == "-h") {
            request.help = true;
        } else if (argument == "--version") {
            request.version = true;
        } else if (argument == "--latency") {
            if (request.latency) return (problem = "--latency given twice", false);
            request.latency = true;
        } else if (argument == "--connections") {
            if (request.connections) return (problem = "--connections given twice", false);
            request.connections = true;
        } else if (argument == "--plot") {
            if (!request.plotPath.empty()) return (problem = "--plot given twice", false);
            if (at + 1 >= argc || std::string_view(argv[at + 1]).empty()) {
                return (problem = "--plot needs a file name", false);
            }
            request.plotPath = argv[++at];
        } else {
            problem = "unknown option " + quoteForMessage(argument) + " (see velkor-report --help)";
            return false;
        }
    }
    if (!request.help && !request.version && request.files.empty()) {
        problem = "no result file given (see velkor-report --help)";
        return false;
    }
    return true;
}
