#include "platform/os/clock.h"

#include <chrono>

#include "platform/os/system_api.h"

namespace {

std::int64_t counterFrequency() {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
}

}  // namespace

std::int64_t monotonicNowNs() {
    static const std::int64_t frequency = counterFrequency();
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    // A counter in nanoseconds already (the POSIX one) needs no conversion:
    // this clock is read several times per request.
    if (frequency == kNsPerSec) return count.QuadPart;
    // Split the conversion so that ticks * 1e9 cannot overflow on a counter
    // that has run for a long time.
    const std::int64_t wholeSeconds = count.QuadPart / frequency;
    const std::int64_t restTicks = count.QuadPart % frequency;
    return wholeSeconds * kNsPerSec + restTicks * kNsPerSec / frequency;
}

std::int64_t wallClockNowNs() {
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch).count();
}
