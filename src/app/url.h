// Splitting the target URL into host, port and path.
#pragma once

#include <string_view>

#include "config/test_config.h"

// Accepts any text holding "http://" or "https://" (the first of the two to
// occur is the scheme); what follows it gives host, optional port (80 for
// http, 443 for https) and path. The host may be an IPv6 address in brackets,
// with a zone written "%25" (RFC 6874): "[::1]", "[fe80::1%25eth0]"; the
// record's host then holds it without brackets, the zone after "%". On
// failure writes the reason to standard error, returns false and leaves the
// record unchanged.
bool parseUrl(std::string_view url, TestConfig& config);
