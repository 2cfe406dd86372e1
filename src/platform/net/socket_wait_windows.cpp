// Bounded socket waits on Windows with select(). A Winsock fd_set is a list of
// handles, not a bitmap, so it has no limit on handle values; and a failed
// non-blocking connect is reported only in the exception set, never as
// writable, so that set is always watched too.
#include "platform/net/socket_wait.h"

#include "platform/os/clock.h"
#include "platform/fibers/fiber_poller.h"
#include "platform/fibers/fiber_scheduler.h"

namespace {

timeval toTimeval(int timeoutMs) {
    timeval limit{};
    limit.tv_sec = timeoutMs / 1000;
    limit.tv_usec = (timeoutMs % 1000) * 1000;
    return limit;
}

// When the last wait off a pool worker returned Ready: a thread blocked in
// the wait wakes as the socket becomes ready.
thread_local std::int64_t t_readySinceNs = 0;

}  // namespace

WaitResult waitForSocket(SOCKET socket, SocketWait direction, int timeoutMs) {
    if (socket == INVALID_SOCKET) {
        WSASetLastError(WSAENOTSOCK);
        return WaitResult::Failed;
    }
    // On a pool worker the fiber parks and the thread runs the other clients.
    if (onFiber()) return waitOnFiber(socket, direction, timeoutMs);
    fd_set wanted;
    FD_ZERO(&wanted);
    FD_SET(socket, &wanted);
    fd_set failed;
    FD_ZERO(&failed);
    FD_SET(socket, &failed);
    // A negative timeout would be read as "no limit"; every wait here is bounded.
    timeval limit = toTimeval(timeoutMs > 0 ? timeoutMs : 0);
    fd_set* readable = direction == SocketWait::Readable ? &wanted : nullptr;
    fd_set* writable = direction == SocketWait::Writable ? &wanted : nullptr;
    // The first argument is ignored by Winsock; select() is not cut short by signals.
    const int ready = select(0, readable, writable, &failed, &limit);
    if (ready == SOCKET_ERROR) return WaitResult::Failed;
    if (ready == 0) return WaitResult::TimedOut;
    t_readySinceNs = monotonicNowNs();
    return WaitResult::Ready;
}

std::int64_t socketReadySinceNs() {
    return onFiber() ? fiberReadySinceNs() : t_readySinceNs;
}

// A connect the completion port poller made reports through its completion,
// not through SO_ERROR.
int pendingSocketError(SOCKET socket) {
    long result = 0;
    const SocketOperation call{SocketCall::ConnectResult, socket, nullptr, 0, 0};
    if (submitOnFiber(call, result)) return static_cast<int>(-result);
    int error = 0;
    int length = sizeof(error);
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
        return WSAGetLastError();
    }
    return error;
}

bool makeNonBlocking(SOCKET socket) {
    u_long enable = 1;
    return ioctlsocket(socket, FIONBIO, &enable) == 0;
}

// A non-blocking connect under way reports WSAEWOULDBLOCK on Windows, not
// WSAEINPROGRESS (which there means another blocking call is running).
bool lastSocketCallWouldBlock() {
    return WSAGetLastError() == WSAEWOULDBLOCK;
}
