// Sub-millisecond sleeps on Windows. Sleep() ends on a tick of the system
// timer, 15.6 ms apart by default, which would cut a 6 ms pacing interval to
// a third of its rate. A high-resolution waitable timer (Windows 10 1803 and
// later) wakes within about half a millisecond and leaves the system timer
// alone. Where that kind is refused (older systems, some emulators), the
// process raises the system timer to 1 ms once and uses a plain waitable timer.
#include "platform/pool/pool_api.h"

#include <mmsystem.h>

#include "platform/fibers/fiber_scheduler.h"

// Older SDK headers do not name the flag; its value is fixed by the system.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace {

constexpr std::int64_t kNsPerTimerUnit = 100;          // waitable timers count in 100 ns units
constexpr std::int64_t kNsPerMs = 1'000'000;           // nanoseconds in Sleep's millisecond
constexpr std::int64_t kLongestSleepMs = 0x7FFF'FFFF;  // keeps Sleep's argument off INFINITE

// Held for the rest of the process: timeEndPeriod would only matter to a
// process that goes on after its run, and velkor performs exactly one.
bool raiseSystemTimerResolution() {
    return timeBeginPeriod(1) == TIMERR_NOERROR;
}

HANDLE createThreadTimer() {
    HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                          TIMER_ALL_ACCESS);
    if (timer != nullptr) return timer;
    [[maybe_unused]] static const bool raised = raiseSystemTimerResolution();
    return CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
}

// A waitable timer holds a single due time, so every thread that sleeps needs
// its own; pool threads keep theirs from one client to the next.
struct ThreadTimer {
    HANDLE handle = createThreadTimer();  // this thread's timer, or null when none could be made
    ThreadTimer() = default;
    ThreadTimer(const ThreadTimer&) = delete;
    ThreadTimer& operator=(const ThreadTimer&) = delete;
    ~ThreadTimer() {
        if (handle != nullptr) CloseHandle(handle);
    }
};

thread_local ThreadTimer t_timer;

bool sleepOnTimer(HANDLE timer, std::int64_t durationNs) {
    LARGE_INTEGER dueTime;
    // A negative due time is relative to now; rounding up keeps the sleep from ending early.
    dueTime.QuadPart = -((durationNs + kNsPerTimerUnit - 1) / kNsPerTimerUnit);
    return SetWaitableTimer(timer, &dueTime, 0, nullptr, nullptr, FALSE) &&
           WaitForSingleObject(timer, INFINITE) == WAIT_OBJECT_0;
}

}  // namespace

void sleepForNs(std::int64_t durationNs) {
    if (durationNs <= 0) return;
    if (onFiber()) return sleepOnFiber(durationNs);
    if (t_timer.handle != nullptr && sleepOnTimer(t_timer.handle, durationNs)) return;
    // Without a working timer, whole milliseconds rounded up still never wake early.
    const std::int64_t durationMs = (durationNs + kNsPerMs - 1) / kNsPerMs;
    SleepEx(static_cast<DWORD>(durationMs < kLongestSleepMs ? durationMs : kLongestSleepMs), FALSE);
}

void fiberAwareSleep(DWORD milliseconds) {
    if (onFiber()) return sleepOnFiber(static_cast<std::int64_t>(milliseconds) * kNsPerMs);
    SleepEx(milliseconds, FALSE);  // the system's Sleep
}
