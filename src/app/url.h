// Splitting the target URL into host, port and path.
#pragma once

#include <string_view>

#include "app/test_config.h"

// Accepts any text holding "http://" or "https://" (the first of the two to
// occur is the scheme); what follows it gives host, optional port (80 for
// http, 443 for https) and path. On failure writes the reason to standard error, returns false
// and leaves the record unchanged.
bool parseUrl(std::string_view url, TestConfig& config);
