#include "common/sleep_until.h"

#include "platform/os/clock.h"
#include "platform/platform.h"

void sleepUntilNs(std::int64_t instantNs) {
    // A sleep may end early or late; reading the clock again after each one
    // keeps the wake-up at or after the instant and never drifts.
    for (std::int64_t nowNs = monotonicNowNs(); nowNs < instantNs; nowNs = monotonicNowNs()) {
        sleepForNs(instantNs - nowNs);
    }
}
