// The one request velkor sends, over and over.
#pragma once

#include <string>

#include "config/test_config.h"

// "GET <path> HTTP/1.1", "Host: <host>" (never with the port) and
// "Connection: keep-alive", each ended by CR LF, then the empty line.
std::string buildRequestText(const TestConfig& config);
