// What velkor-report does with its command line: read, check, merge, print,
// plot.
#pragma once

#include <iosfwd>

#include "report/report_arguments.h"

// Prints the summary of the request's files to out, and writes the page of
// --plot. Returns the exit status: 0, or 1 after one line on err.
int runReport(const ReportRequest& request, std::ostream& out, std::ostream& err);
