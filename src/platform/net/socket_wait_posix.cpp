// Bounded socket waits on POSIX with poll(), which, unlike select(), takes
// descriptors of any number: thousands of clients go far beyond 1023.
#include "platform/net/socket_wait.h"

#include "platform/os/clock.h"
#include "platform/fibers/fiber_scheduler.h"

#include <chrono>
#include <poll.h>

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until the deadline, rounded up so the wait never ends early.
int remainingMs(Clock::time_point deadline) {
    const auto leftNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
    if (leftNs.count() <= 0) return 0;
    return static_cast<int>((leftNs.count() + 999'999) / 1'000'000);
}

// When the last wait off a pool worker returned Ready: a thread blocked in
// the wait wakes as the socket becomes ready.
thread_local std::int64_t t_readySinceNs = 0;

}  // namespace

WaitResult waitForSocket(SOCKET socket, SocketWait direction, int timeoutMs) {
    // poll() silently skips negative descriptors; that would look like a timeout.
    if (socket < 0) {
        errno = EBADF;
        return WaitResult::Failed;
    }
    // On a pool worker the fiber parks and the thread runs the other clients.
    if (onFiber()) return waitOnFiber(socket, direction, timeoutMs);
    pollfd entry{};
    entry.fd = socket;
    entry.events = direction == SocketWait::Readable ? POLLIN : POLLOUT;
    // A negative timeout would make poll() wait forever; every wait here is bounded.
    const int boundedMs = timeoutMs > 0 ? timeoutMs : 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(boundedMs);
    int waitMs = boundedMs;
    for (;;) {
        const int ready = poll(&entry, 1, waitMs);
        if (ready > 0) {
            t_readySinceNs = monotonicNowNs();
            return (entry.revents & POLLNVAL) ? WaitResult::Failed : WaitResult::Ready;
        }
        if (ready == 0) return WaitResult::TimedOut;
        if (errno != EINTR) return WaitResult::Failed;
        waitMs = remainingMs(deadline);
    }
}

std::int64_t socketReadySinceNs() {
    return onFiber() ? fiberReadySinceNs() : t_readySinceNs;
}

int pendingSocketError(SOCKET socket) {
    int error = 0;
    socklen_t length = sizeof(error);
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
}

bool makeNonBlocking(SOCKET socket) {
    u_long enable = 1;
    return ioctlsocket(socket, FIONBIO, &enable) == 0;
}

bool lastSocketCallWouldBlock() {
    const int error = errno;
    return error == EAGAIN || error == EWOULDBLOCK || error == EINPROGRESS;
}
