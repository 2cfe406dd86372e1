// Whether several result files can be merged into one run: the same target
// and run time, and for agents one whole set of the same run.
#pragma once

#include <string>
#include <vector>

#include "results/saved_run.h"

// A result file as read, with the name it was given by.
struct NamedRun {
    std::string fileName;  // the file's name as given on the command line
    SavedRun run;          // its contents
};

// True when the runs belong together: all have the URL, run time and request
// (method, header names in any case and order, body size) of the first; either none is an agent and
// no run is given twice, or they are agents 1 to N of one N, each once, with the same -c and -q,
// each having run its share of the clients. A single run always stands alone. Otherwise sets
// problem to one line naming the file that differs.
bool runsBelongTogether(const std::vector<NamedRun>& runs, std::string& problem);
