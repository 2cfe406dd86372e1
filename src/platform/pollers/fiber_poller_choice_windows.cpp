// Which poller a process's workers use on Windows: the completion port where
// the system allows it, else WSAPoll; VELKOR_POLLER forces either.
//
// Before Windows 10 version 2004 (build 19041) WSAPoll does not report a
// failed non-blocking connect, so there a refused client would wait for its
// give-up instant; the completion port reports it as the connect's own
// completion. The build is read with RtlGetVersion, which, unlike
// GetVersionEx, does not depend on the program's manifest.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/fibers/fiber_poller.h"

namespace {

const FiberPoller* const kPollers[] = {&kIocpPoller, &kWsaPollPoller};

[[noreturn]] void refuse(const char* message, const char* name) {
    std::fprintf(stderr, message, name);
    std::exit(1);
}

const FiberPoller& pollerForProcess() {
    const char* forced = std::getenv("VELKOR_POLLER");
    if (forced == nullptr || *forced == '\0') {
        for (const FiberPoller* poller : kPollers) {
            if (poller->usable()) return *poller;
        }
        return kWsaPollPoller;
    }
    for (const FiberPoller* poller : kPollers) {
        if (std::strcmp(forced, poller->name) != 0) continue;
        if (!poller->usable()) refuse("VELKOR_POLLER=%s: this system refuses it\n", forced);
        return *poller;
    }
    refuse("VELKOR_POLLER=%s: not a poller here; use iocp or WSAPoll\n", forced);
}

}  // namespace

const FiberPoller& chosenPoller() {
    static const FiberPoller& chosen = pollerForProcess();
    return chosen;
}
