// Opening a client's TCP connection to the target.
#include <string>

#include "config/test_config.h"
#include "common/clock.h"
#include "http/wait_budget.h"
#include "platform/source_bind.h"
#include "stats/run_stats.h"

namespace {

SOCKET failConnection(SOCKET socket) {
    if (socket != INVALID_SOCKET) closesocket(socket);
    g_totalErrors.fetch_add(1);
    return INVALID_SOCKET;
}

// A socket whose connect has finished has a peer; one still connecting, or
// refused, has none.
bool handshakeFinished(SOCKET socket) {
    sockaddr_in peer{};
    socklen_t peerBytes = sizeof(peer);
    return getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &peerBytes) == 0 &&
           pendingSocketError(socket) == 0;
}

// Connects without blocking so the attempt can be abandoned at giveUpNs: a
// target that never completes the handshake must not hold the run forever.
bool connectWithin(SOCKET socket, const addrinfo& address, std::int64_t giveUpNs) {
    if (connect(socket, address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0) return true;
    if (!lastSocketCallWouldBlock()) return false;
    for (;;) {
        const WaitResult result =
            waitForSocket(socket, SocketWait::Writable, waitBudgetMs(giveUpNs, monotonicNowNs()));
        if (result == WaitResult::Ready) return pendingSocketError(socket) == 0;
        if (result == WaitResult::Failed) return false;
        // A wait on a busy pool worker can time out on a handshake that has
        // finished meanwhile: only a connect the server has still not
        // answered is given up, and counted.
        if (monotonicNowNs() >= giveUpNs) return handshakeFinished(socket);
    }
}

}  // namespace

SOCKET TestConfig::createConnection(std::int64_t giveUpNs, std::int32_t localClientIndex) const {
    const SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (socket == INVALID_SOCKET) return failConnection(INVALID_SOCKET);
    const int reuseAddress = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuseAddress),
               sizeof(reuseAddress));
    if (!sourceBinds.empty()) {
        const std::size_t slot =
            static_cast<std::size_t>(localClientIndex < 0 ? 0 : localClientIndex) %
            sourceBinds.size();
        if (!bindToSourceAddress(socket, sourceBinds[slot])) return failConnection(socket);
    }

    const std::string service = std::to_string(port);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* addresses = nullptr;
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &addresses) != 0) {
        return failConnection(socket);
    }
    // Only the first address is tried.
    const bool connected = makeNonBlocking(socket) && connectWithin(socket, *addresses, giveUpNs);
    freeaddrinfo(addresses);
    return connected ? socket : failConnection(socket);
}
