// Which poller a process's workers use on Linux: io_uring where the kernel
// allows it, else epoll; VELKOR_POLLER forces either.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/fibers/fiber_poller.h"

namespace {

const FiberPoller* const kPollers[] = {&kIoUringPoller, &kEpollPoller};

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
        return kEpollPoller;
    }
    for (const FiberPoller* poller : kPollers) {
        if (std::strcmp(forced, poller->name) != 0) continue;
        if (!poller->usable()) refuse("VELKOR_POLLER=%s: this system refuses it\n", forced);
        return *poller;
    }
    refuse("VELKOR_POLLER=%s: not a poller here; use epoll or io_uring\n", forced);
}

}  // namespace

const FiberPoller& chosenPoller() {
    static const FiberPoller& chosen = pollerForProcess();
    return chosen;
}
