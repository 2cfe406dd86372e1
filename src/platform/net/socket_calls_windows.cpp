// send, recv, connect and closesocket on Windows. On a pool worker whose
// poller takes submissions (the completion port) they go to it; anywhere
// else they are Winsock's own calls. A close first tells the worker's poller,
// which cancels what the socket still has in flight.
#include "platform/os/system_api.h"

#include "platform/fibers/fiber_poller.h"
#include "platform/fibers/fiber_scheduler.h"
#include "platform/net/source_bind.h"

// Here the names mean Winsock's calls.
#undef send
#undef recv
#undef connect
#undef closesocket

namespace {

// Winsock's convention: SOCKET_ERROR with the error for WSAGetLastError.
int asWinsockResult(long result) {
    if (result >= 0) return static_cast<int>(result);
    WSASetLastError(static_cast<int>(-result));
    return SOCKET_ERROR;
}

}  // namespace

int sendOnFiber(SOCKET socket, const char* bytes, int length, int flags) {
    long result = 0;
    const SocketOperation call{SocketCall::Send, socket, const_cast<char*>(bytes),
                               static_cast<std::size_t>(length), flags};
    if (length > 0 && submitOnFiber(call, result)) return asWinsockResult(result);
    return ::send(socket, bytes, length, flags);
}

int recvOnFiber(SOCKET socket, char* room, int length, int flags) {
    long result = 0;
    const SocketOperation call{SocketCall::Receive, socket, room, static_cast<std::size_t>(length),
                               flags};
    if (length > 0 && submitOnFiber(call, result)) return asWinsockResult(result);
    return ::recv(socket, room, length, flags);
}

// A poller that takes connects (ConnectEx) wants the socket bound first.
int connectOnFiber(SOCKET socket, const sockaddr* address, int length) {
    long result = 0;
    const int family = address->sa_family;
    const SocketOperation asked{SocketCall::Connect, socket, nullptr, 0, 0};
    if ((family == AF_INET || family == AF_INET6) && submitOnFiber(asked, result)) {
        if (!bindForConnectEx(socket, family)) return SOCKET_ERROR;
        const SocketOperation call{SocketCall::Connect, socket, const_cast<sockaddr*>(address),
                                   static_cast<std::size_t>(length), 0};
        if (submitOnFiber(call, result)) return asWinsockResult(result);
    }
    return ::connect(socket, address, length);
}

int closesocketOnFiber(SOCKET socket) {
    forgetFiberSocket(socket);
    return ::closesocket(socket);
}
