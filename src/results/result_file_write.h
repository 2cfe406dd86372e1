// Writing a run's result file: the JSON text, and a write that never leaves a
// half-written file under the final name.
#pragma once

#include <string>

#include "results/saved_run.h"

// The result file's JSON text, one line ending in a newline.
std::string resultFileText(const SavedRun& run);

// Whether a result file can be created at path: its directory takes a new
// file and path is no directory. Leaves nothing behind.
bool resultFileCreatable(const std::string& path);

// Writes the text to a new file beside path and renames it to path, which it
// replaces. False, with no file at path changed, when anything fails.
bool writeResultFile(const std::string& path, const SavedRun& run);
