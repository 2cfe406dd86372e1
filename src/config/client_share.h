// Which of the run's clients this process runs. Alone it runs all of them; as
// agent K of N it runs those whose 0-based global index i has i mod N = K - 1,
// so N agents together run each client exactly once.
#pragma once

#include <cstdint>

#include "config/test_config.h"

// How many clients this process runs; 0 when concurrency is 0 or less.
std::int32_t localClientCount(const TestConfig& config);

// The global index of this process's localIndex-th client (0-based).
std::int32_t globalClientIndex(const TestConfig& config, std::int32_t localIndex);
