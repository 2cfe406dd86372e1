#include "load/run_window.h"

#include "platform/os/clock.h"

RunWindow runWindowFrom(const TestConfig& config, std::int64_t startNs) {
    RunWindow window{};
    window.startNs = startNs;
    window.deadlineNs = startNs + static_cast<std::int64_t>(config.durationSec) * kNsPerSec;
    if (window.deadlineNs > startNs) {
        // A connect still pending when the run ends would only stretch it.
        window.connectGiveUpNs = window.deadlineNs;
        window.exchangeGiveUpNs = window.deadlineNs + kGiveUpGraceNs;
    } else {
        window.connectGiveUpNs = startNs + kGiveUpGraceNs;
        window.exchangeGiveUpNs = startNs + kGiveUpGraceNs;
    }
    window.warmupEndNs = startNs + static_cast<std::int64_t>(config.warmupSec) * kNsPerSec;
    return window;
}

std::int64_t firstConnectNs(const TestConfig& config, const RunWindow& window,
                            std::int32_t globalIndex) {
    if (config.connectRate <= 0 || globalIndex <= 0) return window.startNs;
    // Below 2^31 times 10^9 the product stays far inside 64 bits.
    return window.startNs + static_cast<std::int64_t>(globalIndex) * kNsPerSec / config.connectRate;
}

std::int64_t monotonicInstantOfNs(std::int64_t startAtUnixNs, std::int64_t monotonicReadingNs,
                                  std::int64_t wallReadingNs) {
    return monotonicReadingNs + (startAtUnixNs - wallReadingNs);
}
