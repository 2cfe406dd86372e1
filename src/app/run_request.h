// The run's one request, made before anything is sent: the --body-file read
// once, the head put in front of it, one copy for every client.
#pragma once

#include "config/test_config.h"

// Sets config.requestText. A body file that cannot be read, or that does not
// fit in memory, is named in one line on standard error, and the result is
// false.
bool prepareRunRequest(TestConfig& config);
