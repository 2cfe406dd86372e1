#include "platform/pollers/forced_poller.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

const FiberPoller& forcedPoller(const char* forced, std::span<const FiberPoller* const> pollers,
                                const char* names) {
    for (const FiberPoller* poller : pollers) {
        if (std::strcmp(forced, poller->name) != 0) continue;
        if (poller->usable()) return *poller;
        std::fprintf(stderr, "VELKOR_POLLER=%s: this system refuses it\n", forced);
        std::exit(1);
    }
    std::fprintf(stderr, "VELKOR_POLLER=%s: not a poller here; use %s\n", forced, names);
    std::exit(1);
}
