// Sockets are descriptors on POSIX, so the open-file limit bounds them. The
// process keeps some descriptors for itself: the standard streams, each pool
// worker's epoll and wake-up descriptors (one worker per processor), and what
// name lookups open for a moment. Each local address has its own ports, but
// the descriptors are one pool however many --source addresses there are.
#include "platform/os/system_api.h"

#include <sys/resource.h>

namespace {

constexpr std::int64_t kOwnDescriptors = 64;
constexpr std::int64_t kDescriptorsPerWorker = 2;

}  // namespace

std::int64_t maxOpenSockets(std::size_t /*sourceAddressCount*/) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > INT32_MAX) return INT32_MAX;
    SYSTEM_INFO info{};
    GetNativeSystemInfo(&info);
    const std::int64_t reserved =
        kOwnDescriptors +
        kDescriptorsPerWorker * static_cast<std::int64_t>(info.dwNumberOfProcessors);
    const auto open = static_cast<std::int64_t>(limit.rlim_cur) - reserved;
    return open > 0 ? open : 0;
}
