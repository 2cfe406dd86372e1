// The target's addresses, looked up once before the run. A slow or silent
// name server then delays only the start, by a bounded time, and no lookup
// runs while requests are measured.
#pragma once

#include <cstdint>

#include "config/test_config.h"

// How long a name may take to resolve before the run is refused.
inline constexpr std::int64_t kTargetLookupLimitNs = 1'500'000'000;

enum class LookupOutcome {
    Found,     // at least one address
    NotFound,  // the resolver answered with no address of the family asked for, or failed
    TimedOut,  // no answer within the limit
};

// Fills config.targetAddresses with the addresses of config.host, port
// config.port, of the family config.lookupFamily asks for, in the resolver's
// order and without repeats; of a host with both families, only the IPv4
// ones. With config.unixSocketPath, its address instead (NotFound for a path
// no Unix socket can have). A lookup still running at the limit is left to
// finish on its own thread, unheard.
LookupOutcome findTargetAddresses(TestConfig& config, std::int64_t limitNs);

// The same for the run: false, after one line on standard error naming the
// host, unless an address was found in time. A Unix socket must also take a
// connection now, or the line names its path.
bool lookUpTarget(TestConfig& config, std::int64_t limitNs = kTargetLookupLimitNs);
