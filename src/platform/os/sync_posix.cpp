// Critical sections, the performance counter, Sleep and the processor count on
// POSIX, built on pthread mutexes, CLOCK_MONOTONIC and sysconf.
#include "platform/platform.h"

#include <ctime>

#include "platform/fiber_scheduler.h"

namespace {

constexpr LONGLONG kNsPerSecond = 1'000'000'000;

}  // namespace

void InitializeCriticalSection(LPCRITICAL_SECTION section) {
    pthread_mutex_init(&section->mutex, nullptr);
}

void DeleteCriticalSection(LPCRITICAL_SECTION section) {
    pthread_mutex_destroy(&section->mutex);
}

void EnterCriticalSection(LPCRITICAL_SECTION section) {
    pthread_mutex_lock(&section->mutex);
}

void LeaveCriticalSection(LPCRITICAL_SECTION section) {
    pthread_mutex_unlock(&section->mutex);
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* count) {
    timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return FALSE;
    count->QuadPart = static_cast<LONGLONG>(now.tv_sec) * kNsPerSecond + now.tv_nsec;
    return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    frequency->QuadPart = kNsPerSecond;
    return TRUE;
}

void Sleep(DWORD milliseconds) {
    if (onFiber()) return sleepOnFiber(static_cast<std::int64_t>(milliseconds) * 1'000'000);
    timespec remaining{};
    remaining.tv_sec = static_cast<time_t>(milliseconds / 1000);
    remaining.tv_nsec = static_cast<long>(milliseconds % 1000) * 1'000'000;
    // A signal cuts the sleep short; the rest is still owed to the caller.
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

void GetNativeSystemInfo(LPSYSTEM_INFO info) {
    const long processors = sysconf(_SC_NPROCESSORS_ONLN);
    const long pageSize = sysconf(_SC_PAGESIZE);
    // Callers size their thread counts by this, so it is never reported as 0.
    info->dwNumberOfProcessors = processors > 0 ? static_cast<DWORD>(processors) : 1;
    info->dwPageSize = pageSize > 0 ? static_cast<DWORD>(pageSize) : 4096;
}
