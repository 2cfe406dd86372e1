// Sockets are descriptors on POSIX, so the open-file limit bounds them. The
// process keeps a few descriptors for itself: the standard streams, each pool
// worker's epoll and wake-up descriptors, the name lookups' helpers.
#include "platform/socket_limit.h"

#include <sys/resource.h>

namespace {

constexpr std::int64_t kOwnDescriptors = 64;

}  // namespace

std::int64_t maxOpenSockets() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > INT32_MAX) return INT32_MAX;
    const auto open = static_cast<std::int64_t>(limit.rlim_cur) - kOwnDescriptors;
    return open > 0 ? open : 0;
}
