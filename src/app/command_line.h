// Reading the positional command line into the run settings.
#pragma once

#include "config/test_config.h"

// Checks the command line's shape and fills durationSec, concurrency,
// targetQps and url. On a wrong shape writes the usage text, on a bad number
// a message naming the argument; either way returns false.
bool readCommandLine(int argc, const char* const argv[], TestConfig& config);

// Where the long options begin: the argument after the URL. Call it only on a
// command line readCommandLine accepted.
int firstOptionIndex(int argc, const char* const argv[]);
