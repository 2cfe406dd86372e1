// The monotonic clock every deadline and latency is measured on.
#pragma once

#include <cstdint>

inline constexpr std::int64_t kNsPerMs = 1'000'000;
inline constexpr std::int64_t kNsPerSec = 1'000'000'000;

// Nanoseconds on the system's high-resolution performance counter.
std::int64_t monotonicNowNs();

// Nanoseconds since 1970 on the wall clock: for instants shared between hosts
// (a common start) and for the times a result file records.
std::int64_t wallClockNowNs();
