// Opening a client's connection to the target: TCP over IPv4 or IPv6, or a
// Unix socket.
#include <string>

#include "config/test_config.h"
#include "platform/os/clock.h"
#include "platform/os/wait_budget.h"
#include "platform/net/socket_errors.h"
#include "platform/net/source_bind.h"
#include "stats/run_stats.h"

namespace {

// A client's place among count addresses: it keeps the same one for all its
// connections.
std::size_t slotOf(std::int32_t localClientIndex, std::size_t count) {
    return static_cast<std::size_t>(localClientIndex < 0 ? 0 : localClientIndex) % count;
}

// How a connect went, and for a failure, under which kind it counts.
struct ConnectOutcome {
    enum Result {
        Made,    // the handshake finished by the give-up instant
        Late,    // it finished, but only after the give-up instant: not used, and no error
        Failed,  // refused, failed, or still unfinished when given up: one error
    } result;
    ErrorKind kind = ErrorKind::Other;  // Failed: the error's kind
    int osErrorCode = 0;                // Failed with kind Other: the system's code
};

SOCKET failConnection(SOCKET socket, ErrorKind kind, int osErrorCode) {
    if (socket != INVALID_SOCKET) closesocket(socket);
    recordError(kind, osErrorCode);
    return INVALID_SOCKET;
}

// A connect the system failed with errorCode.
ConnectOutcome connectFailed(int errorCode) {
    switch (socketFailureOf(errorCode)) {
        case SocketFailure::Refused:
        // Reset before the connect finished: a server whose listener closed
        // with the connection still queued let it go unaccepted, a refusal too.
        case SocketFailure::Reset:
            return {ConnectOutcome::Failed, ErrorKind::ConnectRefused};
        case SocketFailure::TimedOut:
            return {ConnectOutcome::Failed, ErrorKind::ConnectUnanswered};
        default:
            return {ConnectOutcome::Failed, ErrorKind::Other, errorCode};
    }
}

// A socket whose connect has finished has a peer; one still connecting, or
// refused, has none.
bool handshakeFinished(SOCKET socket) {
    sockaddr_storage peer{};
    socklen_t peerBytes = sizeof(peer);
    return getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &peerBytes) == 0 &&
           pendingSocketError(socket) == 0;
}

// Out of time: the connect finished late, failed just now, or is unanswered.
ConnectOutcome connectGivenUp(SOCKET socket) {
    if (handshakeFinished(socket)) return {ConnectOutcome::Late};
    const int error = pendingSocketError(socket);
    if (error != 0) return connectFailed(error);
    return {ConnectOutcome::Failed, ErrorKind::ConnectUnanswered};
}

// Connects without blocking so the attempt can be abandoned at giveUpNs: a
// target that never completes the handshake must not hold the run forever.
// The handshake counts by when it finished, not by when this client next
// ran: one finished after giveUpNs is too late to use, however soon it was
// seen, yet the server did answer it.
ConnectOutcome connectWithin(SOCKET socket, const SocketAddress& address, std::int64_t giveUpNs) {
    if (connect(socket, asSockaddr(address), address.length) == 0) return {ConnectOutcome::Made};
    if (!lastSocketCallWouldBlock()) return connectFailed(lastSocketErrorCode());
    for (;;) {
        const WaitResult result =
            waitForSocket(socket, SocketWait::Writable, waitBudgetMs(giveUpNs, monotonicNowNs()));
        if (result == WaitResult::Ready) {
            const int error = pendingSocketError(socket);
            if (error != 0) return connectFailed(error);
            return {socketReadySinceNs() <= giveUpNs ? ConnectOutcome::Made : ConnectOutcome::Late};
        }
        if (result == WaitResult::Failed) {
            return {ConnectOutcome::Failed, ErrorKind::Other, lastSocketErrorCode()};
        }
        // Out of time, perhaps without a look at all (a connect begun just
        // before giveUpNs has no wait left): one look now, at or after it.
        if (monotonicNowNs() >= giveUpNs) return connectGivenUp(socket);
    }
}

// A Unix socket's connect never waits in the background: while the
// listener's queue is full it fails as a would-block at once, and the socket
// is no nearer to a connection. So it is tried again, a millisecond apart,
// until giveUpNs; a queue still full then is a connect unanswered.
ConnectOutcome connectUnixWithin(SOCKET socket, const SocketAddress& address,
                                 std::int64_t giveUpNs) {
    constexpr std::int64_t kRetryNs = 1'000'000;
    for (;;) {
        if (connect(socket, asSockaddr(address), address.length) == 0) {
            return {ConnectOutcome::Made};
        }
        if (!lastSocketCallWouldBlock()) return connectFailed(lastSocketErrorCode());
        if (monotonicNowNs() >= giveUpNs) {
            return {ConnectOutcome::Failed, ErrorKind::ConnectUnanswered};
        }
        sleepForNs(kRetryNs);
    }
}

// Only a bound socket needs SO_REUSEADDR: without a bind it would cost a
// system call per connect for nothing.
bool bindToSource(const TestConfig& config, SOCKET socket, std::int32_t localClientIndex) {
    const int reuseAddress = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuseAddress),
               sizeof(reuseAddress));
    const auto& binds = config.sourceBinds;
    return bindToSourceAddress(socket, binds[slotOf(localClientIndex, binds.size())]);
}

}  // namespace

SOCKET TestConfig::createConnection(std::int64_t giveUpNs, std::int32_t localClientIndex) const {
    if (targetAddresses.empty()) return failConnection(INVALID_SOCKET, ErrorKind::Other, 0);
    const SocketAddress& target = targetAddresses[slotOf(localClientIndex, targetAddresses.size())];
    const int family = addressFamily(target);
    const SOCKET socket = ::socket(family, SOCK_STREAM, family == AF_UNIX ? 0 : IPPROTO_TCP);
    if (socket == INVALID_SOCKET) {
        return failConnection(INVALID_SOCKET, ErrorKind::Other, lastSocketErrorCode());
    }
    if (!sourceBinds.empty() && !bindToSource(*this, socket, localClientIndex)) {
        return failConnection(socket, ErrorKind::Other, lastSocketErrorCode());
    }
    if (!makeNonBlocking(socket)) {
        return failConnection(socket, ErrorKind::Other, lastSocketErrorCode());
    }
    const ConnectOutcome outcome = family == AF_UNIX ? connectUnixWithin(socket, target, giveUpNs)
                                                     : connectWithin(socket, target, giveUpNs);
    switch (outcome.result) {
        case ConnectOutcome::Made:
            return socket;
        case ConnectOutcome::Late:
            closesocket(socket);
            return INVALID_SOCKET;
        case ConnectOutcome::Failed:
            break;
    }
    return failConnection(socket, outcome.kind, outcome.osErrorCode);
}
