// The check, before a run, that this process can hold its share of the clients.
#pragma once

#include "config/test_config.h"

// False, after one line on standard error, when this process's clients need
// more sockets than it can open; the run must not start then.
bool clientCountFits(const TestConfig& config);
