#include "http/exchange.h"

#include <exception>

#include "platform/os/clock.h"
#include "http/request_text.h"
#include "platform/net/socket_errors.h"
#include "platform/os/wait_budget.h"
#include "stats/run_stats.h"

namespace {

constexpr int kReceiveBufferBytes = 4096;

// One receive buffer per thread, not per client: a receive's bytes are handed
// to the framer before the client can wait again, so the clients a thread
// runs never share it across a wait, and a waiting client keeps none.
thread_local char t_receiveBuffer[kReceiveBufferBytes];

// Why an exchange failed, thrown from where that is known to where it is counted.
struct ExchangeFailure {
    ErrorKind kind;       // the error's kind
    int osErrorCode = 0;  // kind Other: the system's code; 0 when none is known
};

[[noreturn]] void failExchange(ErrorKind kind, int osErrorCode = 0) {
    throw ExchangeFailure{kind, osErrorCode};
}

// A send or receive the system failed: a reset (or a connection the system
// gave up on) ended the connection early; anything else keeps its code.
[[noreturn]] void failSocketCall() {
    const int errorCode = lastSocketErrorCode();
    const SocketFailure failure = socketFailureOf(errorCode);
    if (failure == SocketFailure::Reset || failure == SocketFailure::TimedOut) {
        failExchange(ErrorKind::ClosedEarly);
    }
    failExchange(ErrorKind::Other, errorCode);
}

// TLS says only that the connection failed: at the give-up instant the
// answer was too late, before it the connection broke. A server that refused
// the handshake only after it (TLS 1.3, the client's certificate) failed the
// handshake, not the exchange.
[[noreturn]] void failTls(const TlsStream& stream, std::int64_t giveUpNs) {
    const TlsOpenResult refusal = tlsLateRefusal(stream);
    if (refusal != TlsOpenResult::Open) {
        reportRefusedCertificate(refusal);
        failExchange(ErrorKind::TlsFailed);
    }
    failExchange(monotonicNowNs() >= giveUpNs ? ErrorKind::ResponseUnanswered
                                              : ErrorKind::ClosedEarly);
}

void waitUntilReady(SOCKET socket, SocketWait direction, std::int64_t giveUpNs) {
    const int budgetMs = waitBudgetMs(giveUpNs, monotonicNowNs());
    const WaitResult result = waitForSocket(socket, direction, budgetMs);
    if (result == WaitResult::TimedOut) failExchange(ErrorKind::ResponseUnanswered);
    if (result != WaitResult::Ready) failExchange(ErrorKind::Other, lastSocketErrorCode());
}

// A short send is continued until the whole text has gone: the server would
// otherwise wait for the rest of a request that never comes.
void sendWholeText(const ClientConnection& connection, std::string_view text,
                   std::int64_t giveUpNs) {
    if (connection.tls != nullptr) {
        if (!tlsSendAll(*connection.tls, text.data(), text.size(), giveUpNs)) {
            failTls(*connection.tls, giveUpNs);
        }
        return;
    }
    const SOCKET socket = connection.socket;
    while (!text.empty()) {
        const int chunkBytes = text.size() > 1 << 30 ? 1 << 30 : static_cast<int>(text.size());
        const auto sentBytes = send(socket, text.data(), chunkBytes, 0);
        if (sentBytes > 0) {
            text.remove_prefix(static_cast<std::size_t>(sentBytes));
        } else if (sentBytes == SOCKET_ERROR && lastSocketCallWouldBlock()) {
            waitUntilReady(socket, SocketWait::Writable, giveUpNs);
        } else {
            failSocketCall();
        }
    }
}

// One receive: bytes (> 0), 0 at the end of stream, or -1 when the socket
// would block and the call is to be repeated. A plain socket is waited for
// only when it may be empty: before the first receive, after a would-block,
// after a receive that did not fill the buffer. A receive that filled it may
// have left bytes behind, and those would announce themselves to no
// edge-triggered wait. TLS waits inside its receive after the first, which
// waits here unless TLS holds bytes already: a receive that would only say
// "would block" costs a system call per response.
long receiveChunk(const ClientConnection& connection, char* buffer, bool& socketMayBeEmpty,
                  std::int64_t giveUpNs) {
    if (connection.tls != nullptr) {
        if (socketMayBeEmpty && !tlsHoldsReceivedBytes(*connection.tls)) {
            waitUntilReady(connection.socket, SocketWait::Readable, giveUpNs);
        }
        socketMayBeEmpty = false;
        const long receivedBytes =
            tlsReceive(*connection.tls, buffer, kReceiveBufferBytes, giveUpNs);
        if (receivedBytes < 0) failTls(*connection.tls, giveUpNs);
        return receivedBytes;
    }
    if (socketMayBeEmpty) {
        waitUntilReady(connection.socket, SocketWait::Readable, giveUpNs);
    }
    const auto receivedBytes = recv(connection.socket, buffer, kReceiveBufferBytes, 0);
    if (receivedBytes == SOCKET_ERROR) {
        if (!lastSocketCallWouldBlock()) failSocketCall();
        socketMayBeEmpty = true;
        return -1;
    }
    socketMayBeEmpty = receivedBytes < kReceiveBufferBytes;
    return receivedBytes;
}

// Receives until the framer holds one whole response; returns the instant its
// last byte arrived.
std::int64_t receiveWholeResponse(const ClientConnection& connection, ExchangeState& state,
                                  std::int64_t giveUpNs, bool headRequest) {
    char* const buffer = t_receiveBuffer;
    beginResponse(state.framer, headRequest);
    bool socketMayBeEmpty = true;
    for (;;) {
        const long receivedBytes = receiveChunk(connection, buffer, socketMayBeEmpty, giveUpNs);
        if (receivedBytes < 0) continue;
        if (receivedBytes == 0) {
            // Only a body framed by the close ends on it; any other close
            // leaves the response unfinished.
            if (endOfStream(state.framer) != FrameStatus::Complete) {
                failExchange(ErrorKind::ClosedEarly);
            }
            state.reconnectNeeded = true;
            state.closedByServer = true;
            return monotonicNowNs();
        }
        const auto size = static_cast<std::size_t>(receivedBytes);
        const FrameResult result = feedResponse(state.framer, buffer, size);
        if (result.status == FrameStatus::Malformed) failExchange(ErrorKind::Malformed);
        if (result.status == FrameStatus::Complete) {
            // Bytes beyond the response belong to no request of ours; the
            // connection cannot be trusted for the next one.
            state.closedByServer = !responseKeepsConnection(state.framer);
            state.reconnectNeeded = result.consumedBytes != size || state.closedByServer;
            return monotonicNowNs();
        }
    }
}

// A failed exchange is an error of the request figures, unless it ended
// within the warm-up.
// A handshake's failure counts whenever it happens, as a failed connect does.
void countFailure(ExchangeState& state, ErrorKind kind, int osErrorCode) {
    state.counted = kind == ErrorKind::TlsFailed || monotonicNowNs() >= state.countFromNs;
    if (state.counted) recordError(kind, osErrorCode);
}

}  // namespace

std::int64_t sendRequest(SOCKET socket, std::string_view requestText, ExchangeState& state,
                         std::int64_t giveUpNs) {
    return sendRequest(ClientConnection{socket, nullptr}, requestText, state, giveUpNs);
}

std::int64_t sendRequest(const ClientConnection& connection, std::string_view requestText,
                         ExchangeState& state, std::int64_t giveUpNs) {
    if (connection.socket == INVALID_SOCKET) return -1;
    const std::int64_t startNs = monotonicNowNs();
    state.reconnectNeeded = false;
    state.closedByServer = false;
    state.handshakeRefused = false;
    try {
        sendWholeText(connection, requestText, giveUpNs);
        const std::int64_t endNs =
            receiveWholeResponse(connection, state, giveUpNs, requestIsHead(requestText));
        state.counted = endNs >= state.countFromNs;
        if (state.counted) {
            g_completedRequests.fetch_add(1);
            recordStatusCode(state.framer.statusCode);
        }
        state.responseEndNs = endNs;
        return endNs - startNs;
    } catch (const ExchangeFailure& failure) {
        state.reconnectNeeded = true;
        state.closedByServer = failure.kind == ErrorKind::ClosedEarly;
        state.handshakeRefused = failure.kind == ErrorKind::TlsFailed;
        countFailure(state, failure.kind, failure.osErrorCode);
        return -1;
    } catch (const std::exception&) {  // out of memory for the response's buffer
        state.reconnectNeeded = true;
        countFailure(state, ErrorKind::Other, 0);
        return -1;
    }
}
