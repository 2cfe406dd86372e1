#include "stats/connection_block.h"

#include <cstdio>
#include <ostream>
#include <string>

#include "platform/os/clock.h"
#include "stats/fine_counts.h"
#include "stats/latency_block.h"

namespace {

// "1.990 s" from nanoseconds, truncated to the millisecond; "never" for -1.
std::string secondsText(std::int64_t ns) {
    if (ns < 0) return "never";
    const std::int64_t ms = ns / kNsPerMs;
    char text[48];
    std::snprintf(text, sizeof text, "%lld.%03lld s", static_cast<long long>(ms / 1000),
                  static_cast<long long>(ms % 1000));
    return text;
}

// "3 (announced 2, idle 0, reset 1)"
std::string closesText(const ConnectionFigures& figures) {
    std::uint64_t all = 0;
    for (std::uint64_t count : figures.closes) all += count;
    return std::to_string(all) + " (announced " +
           std::to_string(figures.closes[static_cast<std::size_t>(ServerClose::Announced)]) +
           ", idle " + std::to_string(figures.closes[static_cast<std::size_t>(ServerClose::Idle)]) +
           ", reset " +
           std::to_string(figures.closes[static_cast<std::size_t>(ServerClose::Reset)]) + ")";
}

}  // namespace

void printConnectionBlock(const RunResult& result, std::ostream& out) {
    const ConnectionFigures& figures = result.connections;
    const bool tls = !figures.handshakeCounts.empty();
    out << "\nConnections" << std::endl;
    out << "  Opened:             " << figures.opened << std::endl;
    out << "  Reopened:           " << figures.reopened << std::endl;
    out << "  Closed by server:   " << closesText(figures) << std::endl;
    out << "  Most held at once:  " << figures.mostHeld << std::endl;
    out << "  All held after:     " << secondsText(figures.allHeldAfterNs) << std::endl;
    out << "Connect time (ms)" << (tls ? ": TCP, and TLS handshake" : ": TCP") << std::endl;
    printPercentileRows(kConnectionBlockPercents, figures.connectCounts,
                        tls ? &figures.handshakeCounts : nullptr, out);
}
