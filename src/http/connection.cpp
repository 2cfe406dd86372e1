// Opening a client's TCP connection to the target.
#include "app/test_config.h"
#include "common/clock.h"
#include "http/wait_budget.h"
#include "platform/source_bind.h"
#include "stats/run_stats.h"

namespace {

// A client's place among count addresses: it keeps the same one for all its
// connections.
std::size_t slotOf(std::int32_t localClientIndex, std::size_t count) {
    return static_cast<std::size_t>(localClientIndex < 0 ? 0 : localClientIndex) % count;
}

SOCKET failConnection(SOCKET socket) {
    if (socket != INVALID_SOCKET) closesocket(socket);
    g_totalErrors.fetch_add(1);
    return INVALID_SOCKET;
}

// Connects without blocking so the attempt can be abandoned at giveUpNs: a
// target that never completes the handshake must not hold the run forever.
// The handshake counts by when it finished, not by when this client next
// ran: one finished after giveUpNs is too late, however soon it was seen.
bool connectWithin(SOCKET socket, const sockaddr_in& address, std::int64_t giveUpNs) {
    if (connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
        return true;
    }
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
    if (!sourceBinds.empty() &&
        !bindToSourceAddress(socket, sourceBinds[slotOf(localClientIndex, sourceBinds.size())])) {
        return failConnection(socket);
    }
    if (targetAddresses.empty()) return failConnection(socket);
    const sockaddr_in& target = targetAddresses[slotOf(localClientIndex, targetAddresses.size())];
    const bool connected = makeNonBlocking(socket) && connectWithin(socket, target, giveUpNs);
    return connected ? socket : failConnection(socket);
}
