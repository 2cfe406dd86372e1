// Winsock start-up and socket-handle calls on POSIX, where sockets are plain
// descriptors and the process only needs preparing for thousands of them.
#include "platform/os/system_api.h"

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>

#include "platform/fibers/fiber_scheduler.h"

namespace {

// A client may hold a socket for every connection; the default soft limit
// (often 1024) would refuse them long before the hard limit does.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    // Best effort: a refusal leaves the old limit, and running out of descriptors
    // later is reported by the socket calls themselves.
    setrlimit(RLIMIT_NOFILE, &limit);
}

bool setNonBlockingFlag(SOCKET socket, bool nonBlocking) {
    const int flags = fcntl(socket, F_GETFL);
    if (flags < 0) return false;
    const int wanted = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return wanted == flags || fcntl(socket, F_SETFL, wanted) == 0;
}

}  // namespace

int WSAStartup(WORD versionRequested, LPWSADATA data) {
    if (data == nullptr) return EFAULT;
    data->wVersion = versionRequested;
    data->wHighVersion = versionRequested;
    // A send to a peer that has closed must fail with EPIPE, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    raiseDescriptorLimit();
    return 0;
}

int WSACleanup() {
    return 0;
}

int WSAGetLastError() {
    return errno;
}

int closesocket(SOCKET s) {
    forgetFiberSocket(s);  // the descriptor number may come back for another socket
    return close(s);
}

int ioctlsocket(SOCKET s, long command, u_long* argument) {
    if (command != static_cast<long>(FIONBIO) || argument == nullptr) {
        errno = EINVAL;
        return SOCKET_ERROR;
    }
    return setNonBlockingFlag(s, *argument != 0) ? 0 : SOCKET_ERROR;
}
