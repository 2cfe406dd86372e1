#include "platform/file_replace.h"

#include <cstdio>

bool replaceFile(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}
