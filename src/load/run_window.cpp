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
    return window;
}

std::int64_t monotonicInstantOfNs(std::int64_t startAtUnixNs, std::int64_t monotonicReadingNs,
                                  std::int64_t wallReadingNs) {
    return monotonicReadingNs + (startAtUnixNs - wallReadingNs);
}
