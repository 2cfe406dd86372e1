// The run's one time window, shared by every client and the reporter: all
// deadlines count from the run's start, not from each client's own start, so
// a client that starts late gets what remains and the run ends on time.
#pragma once

#include <cstdint>

#include "config/test_config.h"

// Grace after the deadline for an exchange still under way; past it the
// exchange is abandoned and counted as an error.
inline constexpr std::int64_t kGiveUpGraceNs = 2'000'000'000;

struct RunWindow {
    std::int64_t startNs;           // the run's start, monotonic clock, ns
    std::int64_t deadlineNs;        // no exchange starts at or after this instant
    std::int64_t connectGiveUpNs;   // a connect pending here is abandoned; none begins after it
    std::int64_t exchangeGiveUpNs;  // an exchange pending here is abandoned
    std::int64_t warmupEndNs;       // exchanges ending before this count in no request figure
};

// The window of a run of config.durationSec seconds from startNs. A run time
// of 0 or less still gives each client's one connect the grace.
RunWindow runWindowFrom(const TestConfig& config, std::int64_t startNs);

// When the client with this 0-based global index opens its first connection:
// the run's start plus globalIndex / --connect-rate seconds, or the start
// itself without a connect rate.
std::int64_t firstConnectNs(const TestConfig& config, const RunWindow& window,
                            std::int32_t globalIndex);

// The monotonic instant of the wall-clock instant startAtUnixNs, given one
// reading of each clock taken together. Read once: the wall clock may be set
// during the wait, the monotonic clock is not.
std::int64_t monotonicInstantOfNs(std::int64_t startAtUnixNs, std::int64_t monotonicReadingNs,
                                  std::int64_t wallReadingNs);
