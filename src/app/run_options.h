// The long options after the URL: features beyond the positional command line.
#pragma once

#include "config/test_config.h"

// Reads the arguments after the URL (from argv[firstIndex] on) into config's
// option fields. An unknown option, a missing or bad value, or a repeated
// option writes one line naming it to standard error and returns false.
bool readRunOptions(int argc, const char* const argv[], int firstIndex, TestConfig& config);
