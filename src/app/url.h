// Splitting the target URL into host, port and path.
#pragma once

#include <string_view>

#include "config/test_config.h"

// Accepts any text holding "http://"; what follows it gives host, optional
// port and path. On failure writes the reason to standard error, returns false
// and leaves the record unchanged.
bool parseUrl(std::string_view url, TestConfig& config);
