#include "platform/listen/listen_socket.h"

#include <vector>

namespace {

// Connections the system keeps waiting until the server takes them.
constexpr int kBacklog = 64;

// Windows answers a port held exclusively by another socket with WSAEACCES.
ListenFailure failureOf(int error) {
    if (error == WSAEADDRINUSE || error == WSAEACCES) return ListenFailure::InUse;
    if (error == WSAEADDRNOTAVAIL) return ListenFailure::NotLocal;
    return ListenFailure::Other;
}

}  // namespace

SOCKET openListeningSocket(const sockaddr_in& address, ListenFailure& failure) {
    failure = ListenFailure::None;
    const SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET) {
        failure = ListenFailure::Other;
        return INVALID_SOCKET;
    }
    // Without it Windows lets another process's SO_REUSEADDR socket bind the
    // same port and take some of the scrapes.
    BOOL exclusive = TRUE;
    setsockopt(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
               sizeof exclusive);
    u_long nonBlocking = 1;
    if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, kBacklog) != 0 || ioctlsocket(listener, FIONBIO, &nonBlocking) != 0) {
        failure = failureOf(WSAGetLastError());
        closesocket(listener);
        return INVALID_SOCKET;
    }
    return listener;
}

int waitForReadable(const SOCKET* sockets, bool* readable, std::size_t count, int timeoutMs) {
    std::vector<WSAPOLLFD> entries(count);
    for (std::size_t i = 0; i < count; ++i) entries[i] = {sockets[i], POLLRDNORM, 0};
    const int ready =
        WSAPoll(entries.data(), static_cast<ULONG>(entries.size()), timeoutMs > 0 ? timeoutMs : 0);
    if (ready == SOCKET_ERROR) return -1;
    int found = 0;
    for (std::size_t i = 0; i < count; ++i) {
        readable[i] = ready > 0 && (entries[i].revents & (POLLRDNORM | POLLHUP | POLLERR)) != 0;
        found += readable[i] ? 1 : 0;
    }
    return found;
}

// A socket accepted from a non-blocking listener is non-blocking too.
SOCKET acceptWaiting(SOCKET listener) {
    return accept(listener, nullptr, nullptr);
}

void closeAfterAnswer(SOCKET socket) {
    shutdown(socket, SD_SEND);
    closesocket(socket);
}
