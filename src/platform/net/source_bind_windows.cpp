#include "platform/net/source_bind.h"

#include <atomic>

namespace {

// Windows 10 leaves a wildcard bind's port to the connect (the SDK's value of
// SO_REUSE_UNICASTPORT, which MinGW lacks). Elsewhere a bind to port 0 is a
// search of the ports (Linux, under Wine, walks every port in use: a few
// hundred connects a second at ten thousand clients), so the port is picked
// here, in turn over the upper half of the numbers, where Windows' dynamic
// and Linux's ephemeral ports lie; after a refusal, far off, since ports
// taken in turn are in use in runs. Port 0 after a few tries.
constexpr int kReuseUnicastPort = 0x3007;
constexpr unsigned kFirstDynamicPort = 32768;
constexpr unsigned kDynamicPorts = 32768;
constexpr int kPortTries = 16;
constexpr unsigned kJumpAfterRefusal = 4099;

std::atomic<int> g_deferredPorts{-1};  // -1 not known yet, 0 refused, 1 offered
std::atomic<unsigned> g_nextPort{0};   // the next port to try, counted from kFirstDynamicPort

bool bindTo(SOCKET socket, int family, unsigned short port) {
    sockaddr_storage wildcard{};
    wildcard.ss_family = static_cast<ADDRESS_FAMILY>(family);
    // The port lies at the same place in both address kinds.
    reinterpret_cast<sockaddr_in&>(wildcard).sin_port = htons(port);
    const int length = family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    return bind(socket, reinterpret_cast<sockaddr*>(&wildcard), length) == 0;
}

// Wine takes the option and ignores it: the first bind of the process shows
// whether the port was left unchosen. False when the socket is still unbound.
bool bindDeferred(SOCKET socket, int family) {
    if (g_deferredPorts.load(std::memory_order_relaxed) == 0) return false;
    const DWORD enable = 1;
    if (setsockopt(socket, SOL_SOCKET, kReuseUnicastPort, reinterpret_cast<const char*>(&enable),
                   sizeof(enable)) != 0) {
        g_deferredPorts.store(0, std::memory_order_relaxed);
        return false;
    }
    if (!bindTo(socket, family, 0)) return WSAGetLastError() == WSAEINVAL;  // a source's
    if (g_deferredPorts.load(std::memory_order_relaxed) < 0) {
        sockaddr_storage bound{};
        int length = sizeof(bound);
        getsockname(socket, reinterpret_cast<sockaddr*>(&bound), &length);
        const bool deferred = reinterpret_cast<sockaddr_in&>(bound).sin_port == 0;
        g_deferredPorts.store(deferred ? 1 : 0, std::memory_order_relaxed);
    }
    return true;  // bound, its port chosen now or at the connect
}

// The socket has no SO_REUSEADDR (only a --source socket gets it, and that
// one is bound already), so a port a closed connection still holds
// (TIME_WAIT) is refused here and its connect cannot fail on it.
bool bindPickedPort(SOCKET socket, int family) {
    if (g_nextPort.load(std::memory_order_relaxed) == 0) {
        g_nextPort.store(GetTickCount() % kDynamicPorts + 1, std::memory_order_relaxed);
    }
    for (int tries = 0; tries < kPortTries; ++tries) {
        const unsigned port = kFirstDynamicPort + g_nextPort.fetch_add(1) % kDynamicPorts;
        if (bindTo(socket, family, static_cast<unsigned short>(port))) return true;
        const int error = WSAGetLastError();
        if (error != WSAEADDRINUSE && error != WSAEACCES) return error == WSAEINVAL;
        g_nextPort.fetch_add(kJumpAfterRefusal);
    }
    return bindTo(socket, family, 0);
}

}  // namespace

// A socket bound already (to a source address) answers WSAEINVAL and keeps it.
bool bindForConnectEx(SOCKET socket, int family) {
    return bindDeferred(socket, family) || bindPickedPort(socket, family);
}

// Winsock has no way to defer the port to connect: port 0 takes one from the
// address's range at bind.
bool bindToSourceAddress(SOCKET socket, const SocketAddress& address) {
    return bind(socket, asSockaddr(address), static_cast<int>(address.length)) == 0;
}
