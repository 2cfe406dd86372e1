// The run's settings, filled once on the main thread from the command line and
// read-only for the rest of the run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

struct TlsContext;

struct TestConfig {
    std::string url;                // the URL argument, byte for byte as given
    std::string host;               // name or dotted IPv4 address to resolve and to send as Host
    std::string path;               // request target, starts with "/"
    std::uint16_t port = 80;        // TCP port of the target
    bool useTls = false;            // https:// URL: every connection speaks TLS
    std::int32_t durationSec = 10;  // run time of each client and of the reporter, seconds
    std::int32_t concurrency = 30;  // number of virtual clients, each on its own connection
    std::int32_t targetQps = 0;     // requests per second over all clients; 0 or less: unpaced

    // Long options after the URL; their defaults leave the run as without them.
    std::string savePath{};          // --save: result file written when the run ends; empty: none
    std::int32_t agentIndex = 0;     // --agent K/N: K, 1-based; 0 when this process is no agent
    std::int32_t agentCount = 0;     // --agent K/N: N, agents sharing the run; 0 when no agent
    std::int64_t startAtUnixNs = 0;  // --start-at: wall-clock start, ns since 1970; 0: at once
    std::vector<std::string>
        sourceAddresses{};               // --source: dotted IPv4 addresses to bind, in order
    std::vector<in_addr> sourceBinds{};  // --source: the same addresses, parsed, in order
    bool verifyPeer = true;              // https: false with --insecure, any certificate is taken
    std::string caFile{};                // --ca: PEM certificates trusted besides the system's
    TlsContext* tlsContext = nullptr;    // https: the run's TLS settings, made before the run;
                                         // null for http

    // Opens one TCP connection to host:port. Gives up, counting one error, when
    // the attempt is still pending at giveUpNs on the monotonic clock. With
    // --source, the connection leaves from address localClientIndex mod their
    // count, so each client keeps one source address for all its connections.
    SOCKET createConnection(std::int64_t giveUpNs, std::int32_t localClientIndex = 0) const;
};
