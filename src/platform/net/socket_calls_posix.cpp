// send and recv on POSIX. On a pool worker whose poller takes
// submissions they go to it, batched with the other fibers' calls; anywhere
// else they are the system's own calls.
#include "platform/os/system_api.h"

#include "platform/fibers/fiber_poller.h"

// Here the names mean the system's calls.
#undef send
#undef recv

namespace {

// The system's convention: -1 with errno for a failure.
long asSystemResult(long result) {
    if (result >= 0) return result;
    errno = static_cast<int>(-result);
    return -1;
}

}  // namespace

ssize_t sendOnFiber(SOCKET socket, const void* bytes, std::size_t length, int flags) {
    long result = 0;
    const SocketOperation call{SocketCall::Send, socket, const_cast<void*>(bytes), length, flags};
    if (submitOnFiber(call, result)) return asSystemResult(result);
    return ::send(socket, bytes, length, flags);
}

ssize_t recvOnFiber(SOCKET socket, void* room, std::size_t length, int flags) {
    long result = 0;
    const SocketOperation call{SocketCall::Receive, socket, room, length, flags};
    if (submitOnFiber(call, result)) return asSystemResult(result);
    return ::recv(socket, room, length, flags);
}
