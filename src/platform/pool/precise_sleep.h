// A sleep finer than Sleep's whole milliseconds. Pacing thousands of requests
// a second needs intervals of a few milliseconds kept to well under one.
#pragma once

#include <cstdint>

// Sleeps for about durationNs nanoseconds; returns at once when it is 0 or less.
void sleepForNs(std::int64_t durationNs);
