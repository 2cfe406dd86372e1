// Sub-millisecond sleeps on POSIX, and Sleep's whole milliseconds through
// them. CLOCK_MONOTONIC keeps the sleep immune to changes of the wall clock
// during a run; on a fiber a sleep parks the fiber, not its worker.
#include "platform/pool/precise_sleep.h"

#include <cerrno>
#include <ctime>

#include "platform/fibers/fiber_scheduler.h"
#include "platform/os/system_api.h"

void sleepForNs(std::int64_t durationNs) {
    if (durationNs <= 0) return;
    if (onFiber()) return sleepOnFiber(durationNs);
    timespec remaining{};
    remaining.tv_sec = static_cast<time_t>(durationNs / 1'000'000'000);
    remaining.tv_nsec = static_cast<long>(durationNs % 1'000'000'000);
    // clock_nanosleep reports errors by its return value, and after a signal
    // leaves the time still owed in `remaining`.
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &remaining, &remaining) == EINTR) {
    }
}

void Sleep(DWORD milliseconds) {
    sleepForNs(static_cast<std::int64_t>(milliseconds) * 1'000'000);
}
