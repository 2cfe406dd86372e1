// Opening a client's TCP connection to the target.
#include <string>

#include "app/test_config.h"
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

// Connects without blocking so the attempt can be abandoned at giveUpNs: a
// target that never completes the handshake must not hold the run forever.
// The handshake counts by when it finished, not by when this client next
// ran: one finished after giveUpNs is too late, however soon it was seen.
bool connectWithin(SOCKET socket, const addrinfo& address, std::int64_t giveUpNs) {
    if (connect(socket, address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0) return true;
    if (!lastSocketCallWouldBlock()) return false;
    for (;;) {
        const WaitResult result =
            waitForSocket(socket, SocketWait::Writable, waitBudgetMs(giveUpNs, monotonicNowNs()));
        if (result == WaitResult::Ready) {
            return pendingSocketError(socket) == 0 && socketReadySinceNs() <= giveUpNs;
        }
        // A wait times out only when a look at or after giveUpNs found the
        // handshake unfinished.
        if (result == WaitResult::Failed || monotonicNowNs() >= giveUpNs) return false;
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
