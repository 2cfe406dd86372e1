// The state the threads of a run share. One process performs one run, so
// there is exactly one set. Latencies and status classes are kept per worker
// thread (see latency_shard.h) and merged by whoever reads them.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "stats/latency_shard.h"
#include "stats/run_result.h"

// Exchanges that completed with a whole response.
extern std::atomic<std::uint64_t> g_completedRequests;
// Failed connection attempts and failed exchanges.
extern std::atomic<std::uint64_t> g_totalErrors;
// The progress lines' figures, one per line; written by the reporter alone
// and read once it has ended.
extern std::vector<SecondSample> g_secondSamples;
// The run's cumulative figures at one instant; a row of the series is the
// difference of two readings.
struct SeriesReading {
    std::uint64_t completed = 0;   // g_completedRequests
    LatencyTotals latency{};       // latencyTotals()
    ErrorKindCounts errorKinds{};  // errorKindCounts()
    std::uint64_t connects = 0;    // connectionsOpened()
    std::uint64_t held = 0;        // connections open at the reading
};
// Where the series' next row starts: the reading of the last row written.
// Written by the reporter alone, and after it has ended by the run's close.
extern SeriesReading g_seriesReading;
// Wall-clock instants of the run, ns since 1970; 0 until marked.
extern std::atomic<std::int64_t> g_runStartUnixNs;
extern std::atomic<std::int64_t> g_runEndUnixNs;

// Counts one completed request's latency, from its send to its response's
// last byte, in the calling thread's shard.
void recordLatencyNs(std::int64_t latencyNs);
// Paced runs: counts one completed request's latency from its planned start.
void recordPlannedLatencyNs(std::int64_t latencyNs);
// Paced runs: counts the planned starts that a late client skipped, at the
// latencies an open-loop user would have seen: firstLatencyNs for the
// earliest, then one intervalNs less for each later one.
void recordSkippedStarts(std::int64_t firstLatencyNs, std::int64_t intervalNs, std::int64_t count);
// Counts one final answer's status code in the calling thread's shard.
void recordStatusCode(int statusCode);
// Counts one error of this kind in the calling thread's shard, and in the
// total; osErrorCode (0: none known) is kept for kind Other.
void recordError(ErrorKind kind, std::int64_t osErrorCode = 0);

// Merged over every thread that recorded; any thread, at any time.
LatencyTotals latencyTotals();
StatusClassCounts statusClassCounts();
std::vector<LatencyBucket> latencyCounts();
std::vector<FineBucket> fineLatencyCounts(bool fromPlannedStart);
ErrorKindCounts errorKindCounts();
std::vector<OsErrorCount> otherErrorCodes();  // ascending by code
SeriesReading readSeries();

// Connections: each is counted in the calling thread's shard when opened;
// the ones open at once are one shared count, touched once per connection.
// A connection opened after connectNs for the TCP connect and handshakeNs for
// TLS (below 0: none); reopen when it is not its client's first.
void recordConnectionOpened(std::int64_t connectNs, std::int64_t handshakeNs, bool reopen);
// A connection counted as opened has been closed, by either side.
void recordConnectionClosed();
// The server ended a connection the client was holding.
void recordServerClose(ServerClose kind);
// The run's start on the monotonic clock and the clients this process runs,
// for the time until every client first held a connection.
void startConnectionCount(std::int64_t runStartNs, std::int64_t clients);
// The run's start as given there, monotonic clock, ns; 0 before it is known.
std::int64_t runStartInstantNs();
// Merged over every thread; any thread, at any time.
ConnectionFigures connectionFigures();
std::uint64_t connectionsOpened();

// The clients start now / the run has ended now, on the wall clock.
void markRunStart();
void markRunEnd();

// Forgets everything recorded, for a fresh start in tests; only while no
// thread records.
void resetRunStats();
