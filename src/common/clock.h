// The monotonic clock every deadline and latency is measured on.
#pragma once

#include <cstdint>

inline constexpr std::int64_t kNsPerMs = 1'000'000;
inline constexpr std::int64_t kNsPerSec = 1'000'000'000;

// Nanoseconds on the system's high-resolution performance counter.
std::int64_t monotonicNowNs();
