// Reading a result file back into the run it describes, refusing anything that
// is not a whole result file of this format version.
#pragma once

#include <string>
#include <string_view>

#include "results/saved_run.h"

// Reads a result file's JSON text into run. On refusal returns false and sets
// problem to what is wrong, a few words without the file's name.
bool parseResultFile(std::string_view text, SavedRun& run, std::string& problem);

// Reads the file at path; as parseResultFile, with a file that cannot be read
// refused too.
bool readResultFile(const std::string& path, SavedRun& run, std::string& problem);
