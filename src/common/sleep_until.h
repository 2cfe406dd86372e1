// Sleeping until an instant of the monotonic clock.
#pragma once

#include <cstdint>

// Returns once the clock has reached instantNs; at once when it already has.
void sleepUntilNs(std::int64_t instantNs);
