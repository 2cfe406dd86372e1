// The file-system calls the result file needs beyond the C++ streams, and
// the whole-file read that the TLS files (--ca, --cert, --key) share.
#pragma once

#include <fstream>
#include <iterator>
#include <string>

// Names are in the system's narrow encoding, as the command line gives them.

// Renames the file at from to to, replacing any file there, so that a reader
// of to sees either the old file or the whole new one. False on failure.
bool replaceFile(const std::string& from, const std::string& to);

// Whether path names an existing directory.
bool isDirectory(const std::string& path);

// The whole file at path into text, bytes as they are; false when it is a
// directory or cannot be opened or read.
inline bool readWholeFile(const std::string& path, std::string& text) {
    if (isDirectory(path)) return false;
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open()) return false;
    text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return !file.bad();
}
