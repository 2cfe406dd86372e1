// Putting a finished file in place of another in one step.
#pragma once

#include <string>

// Renames the file at from to to, replacing any file there, so that a reader
// of to sees either the old file or the whole new one. Names are in the
// system's narrow encoding, as the command line gives them. False on failure.
bool replaceFile(const std::string& from, const std::string& to);
