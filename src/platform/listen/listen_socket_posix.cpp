#include "platform/listen/listen_socket.h"

#include <fcntl.h>
#include <poll.h>

#include <vector>

namespace {

// Connections the system keeps waiting until the server takes them.
constexpr int kBacklog = 64;

ListenFailure failureOf(int error) {
    if (error == EADDRINUSE) return ListenFailure::InUse;
    if (error == EADDRNOTAVAIL) return ListenFailure::NotLocal;
    return ListenFailure::Other;
}

}  // namespace

SOCKET openListeningSocket(const sockaddr_in& address, ListenFailure& failure) {
    failure = ListenFailure::None;
    const SOCKET listener =
        ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (listener < 0) {
        failure = ListenFailure::Other;
        return INVALID_SOCKET;
    }
    // Lets a new run bind the port whose last connections of an earlier run
    // still wait out TIME_WAIT. On Linux it never lets two listeners share a port.
    int enable = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &enable, sizeof enable);
    if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, kBacklog) != 0) {
        failure = failureOf(errno);
        closesocket(listener);
        return INVALID_SOCKET;
    }
    return listener;
}

int waitForReadable(const SOCKET* sockets, bool* readable, std::size_t count, int timeoutMs) {
    std::vector<pollfd> entries(count);
    for (std::size_t i = 0; i < count; ++i) entries[i] = {sockets[i], POLLIN, 0};
    // EINTR reads as a timeout: the caller waits again with its own deadlines.
    const int ready = poll(entries.data(), entries.size(), timeoutMs > 0 ? timeoutMs : 0);
    if (ready < 0 && errno != EINTR) return -1;
    int found = 0;
    for (std::size_t i = 0; i < count; ++i) {
        readable[i] = ready > 0 && (entries[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
        found += readable[i] ? 1 : 0;
    }
    return found;
}

SOCKET acceptWaiting(SOCKET listener) {
    const SOCKET taken = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    return taken < 0 ? INVALID_SOCKET : taken;
}

void closeAfterAnswer(SOCKET socket) {
    shutdown(socket, SHUT_WR);
    closesocket(socket);
}
