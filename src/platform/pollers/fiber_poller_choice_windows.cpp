// Which poller a process's workers use on Windows: VELKOR_POLLER's choice,
// iocp or WSAPoll, else the one completionPortByDefault names, falling back
// to the other where the system refuses it.
//
// Before Windows 10 version 2004 (build 19041) WSAPoll does not report a
// failed non-blocking connect, so there a refused client would wait for its
// give-up instant; the completion port reports it as the connect's own
// completion. The release is read with RtlGetVersion, which, unlike
// GetVersionEx, does not depend on the program's manifest; Wine is known by
// the wine_get_version its ntdll exports.
#include <cstdlib>

#include "platform/fibers/fiber_poller.h"
#include "platform/pollers/forced_poller.h"
#include "platform/pollers/poller_default_windows.h"

namespace {

const FiberPoller* const kPollers[] = {&kIocpPoller, &kWsaPollPoller};

WindowsRelease thisRelease() {
    WindowsRelease release{false, 0, 0, 0};
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) return release;
    release.underWine = GetProcAddress(ntdll, "wine_get_version") != nullptr;
    using GetVersion = LONG(WINAPI*)(RTL_OSVERSIONINFOW*);
    const auto getVersion = reinterpret_cast<GetVersion>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
    RTL_OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    if (getVersion != nullptr && getVersion(&info) == 0) {
        release.major = info.dwMajorVersion;
        release.minor = info.dwMinorVersion;
        release.build = info.dwBuildNumber;
    }
    return release;
}

const FiberPoller& pollerForProcess() {
    const char* forced = std::getenv("VELKOR_POLLER");
    if (forced == nullptr || *forced == '\0') {
        const bool iocp = completionPortByDefault(thisRelease());
        const FiberPoller& preferred = iocp ? kIocpPoller : kWsaPollPoller;
        if (preferred.usable()) return preferred;
        return iocp ? kWsaPollPoller : kIocpPoller;
    }
    return forcedPoller(forced, kPollers, "iocp or WSAPoll");
}

}  // namespace

bool completionPortByDefault(const WindowsRelease& release) {
    if (release.underWine) return false;
    if (release.major != 10) return release.major < 10;
    return release.minor == 0 && release.build < 19041;
}

const FiberPoller& chosenPoller() {
    static const FiberPoller& chosen = pollerForProcess();
    return chosen;
}
