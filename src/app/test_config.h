// The run's settings, filled once on the main thread from the command line and
// read-only for the rest of the run.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

struct TestConfig {
    std::string url;                // the URL argument, byte for byte as given
    std::string host;               // name or dotted IPv4 address to resolve and to send as Host
    std::string path;               // request target, starts with "/"
    std::uint16_t port = 80;        // TCP port of the target
    std::int32_t durationSec = 10;  // run time of each client and of the reporter, seconds
    std::int32_t concurrency = 30;  // number of virtual clients, each on its own connection
    std::int32_t targetQps = 0;     // requests per second over all clients; 0 or less: unpaced

    // Opens one TCP connection to host:port. Gives up, counting one error, when
    // the attempt is still pending at giveUpNs on the monotonic clock.
    SOCKET createConnection(std::int64_t giveUpNs) const;
};
