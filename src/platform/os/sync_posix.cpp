// Critical sections, the performance counter and the processor count on
// POSIX, built on pthread mutexes, CLOCK_MONOTONIC and sysconf.
#include "platform/os/system_api.h"

#include <ctime>

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

void GetNativeSystemInfo(LPSYSTEM_INFO info) {
    const long processors = sysconf(_SC_NPROCESSORS_ONLN);
    const long pageSize = sysconf(_SC_PAGESIZE);
    // Callers size their thread counts by this, so it is never reported as 0.
    info->dwNumberOfProcessors = processors > 0 ? static_cast<DWORD>(processors) : 1;
    info->dwPageSize = pageSize > 0 ? static_cast<DWORD>(pageSize) : 4096;
}
