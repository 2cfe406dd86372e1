// The file-system calls the result file needs beyond the C++ streams.
#pragma once

#include <string>

// Names are in the system's narrow encoding, as the command line gives them.

// Renames the file at from to to, replacing any file there, so that a reader
// of to sees either the old file or the whole new one. False on failure.
bool replaceFile(const std::string& from, const std::string& to);

// Whether path names an existing directory.
bool isDirectory(const std::string& path);
