// Everything a finished run reports: the summary's figures, the exact latency
// counts and the per-second series. A run's own summary, a result file and a
// merge of several result files all go through this one record.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "config/rate_plan.h"

// Final answers by status class; an answer of any class is a completed request.
struct StatusClassCounts {
    std::uint64_t status2xx = 0;  // answers 200-299
    std::uint64_t status3xx = 0;  // answers 300-399
    std::uint64_t status4xx = 0;  // answers 400-499
    std::uint64_t status5xx = 0;  // answers 500-599
    std::uint64_t other = 0;      // answers with any other status code
};

// How many completed requests took exactly latencyMs whole milliseconds.
struct LatencyBucket {
    std::uint32_t latencyMs;  // latency, whole milliseconds (truncated)
    std::uint64_t count;      // requests with that latency, never 0
};

// How many completed requests took a latency in one fine bucket (see
// stats/fine_counts.h): from lowUs up to the next bucket's lowUs.
struct FineBucket {
    std::uint64_t lowUs;  // the bucket's smallest latency, whole microseconds
    std::uint64_t count;  // requests in the bucket, never 0
};

// Why a connection attempt or an exchange failed. Every error counts under
// exactly one kind; the order is the summary's and the result file's.
enum class ErrorKind : std::uint8_t {
    ConnectRefused,      // the target refused the TCP connect
    ConnectUnanswered,   // the TCP connect had no answer by the give-up instant
    TlsFailed,           // the TLS handshake failed, a refused certificate included
    TlsUnfinished,       // the TLS handshake was still under way when the run ended
    ClosedEarly,         // closed or reset before the response was complete
    Malformed,           // the response broke HTTP/1.1's framing
    ResponseUnanswered,  // the response was still incomplete at the give-up instant
    Other,               // anything else; its OS error code is kept
};
inline constexpr std::size_t kErrorKindCount = 8;

// Errors per kind, indexed by ErrorKind.
using ErrorKindCounts = std::array<std::uint64_t, kErrorKindCount>;

// How many errors of kind Other carried one OS error code.
struct OsErrorCount {
    std::int64_t code;    // errno on Linux, the Winsock code on Windows; 0: none known
    std::uint64_t count;  // errors with that code, never 0
};

// One row of the per-second series: one per progress line, and a last one
// for what ended after the last line.
struct SecondSample {
    std::uint64_t completed;            // requests completed in this second
    double meanLatencyMs;               // mean latency of those requests, 0 when none
    std::uint64_t errors;               // errors counted in this second
    ErrorKindCounts errorKinds = {};    // those errors by kind; all 0 in files without kinds
    std::uint64_t connectionsHeld = 0;  // connections open at the second's end
    std::uint64_t connects = 0;         // connections opened in this second
};

// How the server ended a connection the client was holding.
enum class ServerClose : std::uint8_t {
    Announced,  // the response said so (Connection: close, or a body the close ends)
    Idle,       // closed while the connection sat idle between paced requests
    Reset,      // closed or reset before a response was complete
};
inline constexpr std::size_t kServerCloseCount = 3;

// The connections themselves: how many were opened and lost, and how long
// opening them took. Counted per connection, never per request.
struct ConnectionFigures {
    std::uint64_t opened = 0;    // connections opened in all
    std::uint64_t reopened = 0;  // of those, after a client's first
    std::array<std::uint64_t, kServerCloseCount> closes =
        {};                            // ended by the server, by ServerClose
    std::uint64_t mostHeld = 0;        // most connections open at once
    std::int64_t allHeldAfterNs = -1;  // from the run's start until all clients first held one, ns;
                                       // -1: never
    std::vector<FineBucket> connectCounts{};    // fine counts of the TCP connect time
    std::vector<FineBucket> handshakeCounts{};  // fine counts of the TLS handshake time; https
};

struct RunResult {
    std::string url;                              // the URL argument, byte for byte
    std::int32_t durationSec = 0;                 // run time, seconds (-t)
    std::int64_t concurrency = 0;                 // value of the "Concurrent clients:" line
    std::int32_t targetQps = 0;                   // -q over all clients; 0 or less: unpaced
    RatePlan ratePlan{};                          // --rate-plan over all clients; no steps: none
    std::uint64_t processorCount = 0;             // logical processors of the run's machine(s)
    std::string agentText = "none";               // value of the "Agent:" line
    std::int64_t startUnixNs = 0;                 // wall-clock start of the run, ns since 1970
    std::int64_t endUnixNs = 0;                   // wall-clock end of the run, ns since 1970
    std::uint64_t completed = 0;                  // requests completed with a whole response
    std::uint64_t errors = 0;                     // failed connects and failed exchanges
    StatusClassCounts statusClasses{};            // completed requests by status class
    std::vector<LatencyBucket> latencyCounts{};   // ascending by latencyMs, sparse
    std::vector<SecondSample> seconds{};          // one per progress line, then the tail
    bool hasErrorKinds = false;                   // errorKinds and the series' kinds are kept
    ErrorKindCounts errorKinds{};                 // errors by kind; they sum to errors
    std::vector<OsErrorCount> otherErrorCodes{};  // kind Other by OS code, ascending, sparse
    double latencySumNs = 0;                      // sum of every latency at full resolution, ns
    bool hasFineCounts = false;                   // latencySumNs and the fine counts are kept
    std::vector<FineBucket> fineCounts{};         // latency from the send, ascending, sparse
    // Paced runs only: latency from each request's planned start, and the
    // planned starts skipped by late clients at the latency they would have had.
    std::vector<FineBucket> plannedFineCounts{};
    std::int32_t connectRate = 0;     // --connect-rate: first connections a second; 0: all at once
    std::int32_t warmupSec = 0;       // --warmup: first seconds kept out of the request figures
    bool hasConnections = false;      // connections and the series' connection columns are kept
    ConnectionFigures connections{};  // the connections' own figures
};
