// The run's settings, filled once on the main thread from the command line and
// read-only for the rest of the run.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config/rate_plan.h"
#include "platform/platform.h"

struct TlsContext;

struct TestConfig {
    std::string url;                // the URL argument, byte for byte as given
    std::string host;               // name, IPv4 or IPv6 address (bare; zone after %) to look up
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
    std::string runId{};             // --run-id: names the run its agents share; empty: none
    std::vector<std::string>
        sourceAddresses{};               // --source: IPv4 or IPv6 addresses to bind, in order
    SocketAddresses sourceBinds{};       // --source: the same addresses, parsed, in order
    bool verifyPeer = true;              // https: false with --insecure, any certificate is taken
    std::string caFile{};                // --ca: PEM certificates trusted besides the system's
    std::string certFile{};              // --cert: PEM client certificate for servers that ask
    std::string keyFile{};               // --key: PEM private key of the --cert certificate
    std::string keyPasswordFile{};       // --key-password-file: its first line decrypts --key
    TlsContext* tlsContext = nullptr;    // https: the run's TLS settings, made before the run;
                                         // null for http
    bool showLatencyBlock = false;       // --latency: fine percentiles after the summary
    bool showConnectionBlock = false;    // --connections: the connections' figures after it
    std::int32_t connectRate = 0;        // --connect-rate: first connects a second; 0: all at once
    std::int32_t warmupSec = 0;          // --warmup: first seconds kept out of request figures
    RatePlan ratePlan{};                 // --rate-plan: the rate the starts follow; no steps: none
    std::string metricsAddress{};        // --metrics: ADDR:PORT as given; empty: no endpoint
    sockaddr_in metricsBind{};           // --metrics: the same, parsed
    std::int32_t metricsLingerSec = -1;  // --metrics-linger: seconds served after the run;
                                         // -1: not given (none)

    // The request; without these options, "GET" with the Host and Connection lines alone.
    std::string method = "GET";              // --method: the request method, an RFC 9110 token
    std::vector<std::string> headerLines{};  // --header: "Name: value" lines, as given, in order
    std::string bodyPath{};                  // --body-file: file sent as each body; empty: none
    // The bytes of every request, head and body, built once before the run;
    // shared, so that no copy of the settings copies a large body.
    std::shared_ptr<const std::string> requestText{};
    int lookupFamily = AF_UNSPEC;       // --ipv4: AF_INET, --ipv6: AF_INET6; AF_UNSPEC: either,
                                        // IPv4 when the host has IPv4 addresses
    std::string unixSocketPath{};       // --unix-socket: every connection goes to this socket;
                                        // empty: to host:port over TCP
    SocketAddresses targetAddresses{};  // host:port's addresses of one family (or the Unix
                                        // socket's), looked up once before the run

    // Opens one connection to host:port (or the Unix socket), at target address localClientIndex
    // mod their count: a name with several addresses has its clients spread
    // over them. Gives up, counting one error, when the handshake has not
    // completed by giveUpNs on the monotonic clock; one that completed only
    // after it gives no connection and no error. With --source, the
    // connection leaves from address localClientIndex mod their count, so each
    // client keeps one source and one target address for all its connections.
    SOCKET createConnection(std::int64_t giveUpNs, std::int32_t localClientIndex = 0) const;
};
