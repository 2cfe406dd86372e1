// The values of --metrics ADDR:PORT and --metrics-linger S.
#pragma once

#include <cstdint>
#include <string_view>

#include "config/test_config.h"

// Seconds the endpoint may wait for a last scrape after the run, at most.
inline constexpr std::int32_t kLongestMetricsLingerSec = 3600;

// "127.0.0.1:9464", or ":9464" for every address of the machine: an IPv4
// address and a port from 1 to 65535. False for anything else.
bool readMetricsAddress(std::string_view text, TestConfig& config);

// Whole seconds from 0 to kLongestMetricsLingerSec, digits only.
bool readMetricsLinger(std::string_view text, TestConfig& config);
