// Which poller a process's workers use on Linux: io_uring where the kernel
// allows it, else epoll; VELKOR_POLLER forces either.
#include <cstdlib>

#include "platform/fibers/fiber_poller.h"
#include "platform/pollers/forced_poller.h"

namespace {

const FiberPoller* const kPollers[] = {&kIoUringPoller, &kEpollPoller};

const FiberPoller& pollerForProcess() {
    const char* forced = std::getenv("VELKOR_POLLER");
    if (forced == nullptr || *forced == '\0') {
        for (const FiberPoller* poller : kPollers) {
            if (poller->usable()) return *poller;
        }
        return kEpollPoller;
    }
    return forcedPoller(forced, kPollers, "epoll or io_uring");
}

}  // namespace

const FiberPoller& chosenPoller() {
    static const FiberPoller& chosen = pollerForProcess();
    return chosen;
}
