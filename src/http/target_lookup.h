// The target's addresses, looked up once before the run. A slow or silent
// name server then delays only the start, by a bounded time, and no lookup
// runs while requests are measured.
#pragma once

#include <cstdint>

#include "config/test_config.h"

// How long a name may take to resolve before the run is refused.
inline constexpr std::int64_t kTargetLookupLimitNs = 1'500'000'000;

enum class LookupOutcome {
    Found,     // at least one IPv4 address
    NotFound,  // the resolver answered with no IPv4 address, or failed
    TimedOut,  // no answer within the limit
};

// Fills config.targetAddresses with the IPv4 addresses of config.host, port
// config.port, in the resolver's order and without repeats. A lookup still
// running at the limit is left to finish on its own thread, unheard.
LookupOutcome findTargetAddresses(TestConfig& config, std::int64_t limitNs);

// The same for the run: false, after one line on standard error naming the
// host, unless an address was found in time.
bool lookUpTarget(TestConfig& config, std::int64_t limitNs = kTargetLookupLimitNs);
