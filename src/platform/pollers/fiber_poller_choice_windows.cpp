// Which poller a process's workers use on Windows: WSAPoll, the only one;
// VELKOR_POLLER may name it, and nothing else.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/fibers/fiber_poller.h"

const FiberPoller& chosenPoller() {
    static const FiberPoller* const chosen = [] {
        const char* forced = std::getenv("VELKOR_POLLER");
        if (forced != nullptr && *forced != '\0' && std::strcmp(forced, "WSAPoll") != 0) {
            std::fprintf(stderr, "VELKOR_POLLER=%s: not a poller here; use WSAPoll\n", forced);
            std::exit(1);
        }
        return &kWsaPollPoller;
    }();
    return *chosen;
}
