// A fiber's socket calls under the completion port poller.
//
// A receive call first takes what a wait's receive brought (the wait is
// itself an overlapped WSARecv, so the bytes arrive with the wake-up and no
// second call is needed); with nothing held it is the system's own
// non-blocking recv. While a receive is in flight the call reports "would
// block", so that no later bytes can overtake those the kernel is writing.
//
// A send copies its bytes into the socket's record and starts an overlapped
// WSASend: the call returns at once with every byte taken, as a non-blocking
// send into a socket with room does. While that send is in flight the next
// one reports "would block", and a wait for room waits for its completion; a
// send that fails reaches the socket's next call as its error.
//
// A connect is ConnectEx on a socket bound first (to the wildcard address
// unless the caller bound it to a source), and a wait for the connect waits
// for its completion, which reports a refusal as itself: no readiness is
// inferred.
#include <atomic>
#include <cstring>

#include "platform/pollers/iocp_poller_state_windows.h"

namespace {

LPFN_CONNECTEX loadConnectEx() {
    const SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (probe == INVALID_SOCKET) return nullptr;
    GUID guid = WSAID_CONNECTEX;
    LPFN_CONNECTEX function = nullptr;
    DWORD bytes = 0;
    if (WSAIoctl(probe, SIO_GET_EXTENSION_FUNCTION_POINTER, &guid, sizeof(guid), &function,
                 sizeof(function), &bytes, nullptr, nullptr) != 0) {
        function = nullptr;
    }
    closesocket(probe);
    return function;
}

// The bytes, end or error a wait received, as the receive call would have
// met them; false leaves the call to the system.
bool takeHeld(IocpSocket& record, const SocketOperation& call, long& result) {
    const bool peek = (call.flags & MSG_PEEK) != 0;
    if (record.heldBytes > 0) {
        const std::size_t taken = call.bytes < record.heldBytes ? call.bytes : record.heldBytes;
        std::memcpy(call.buffer, record.received + record.heldOffset, taken);
        result = static_cast<long>(taken);
        if (!peek) {
            record.heldOffset += taken;
            record.heldBytes -= taken;
        }
        return true;
    }
    if (record.heldEnd) {
        result = 0;  // the end of a stream holds for every later receive
        return true;
    }
    if (record.heldError == 0) return false;
    result = -record.heldError;
    if (!peek) record.heldError = 0;
    return true;
}

bool receiveCall(PollerState& state, const SocketOperation& call, long& result) {
    IocpSocket* record = knownRecord(state, call.socket);
    if (record == nullptr) return false;
    if (record->receive.inFlight) {
        result = -WSAEWOULDBLOCK;
        return true;
    }
    return takeHeld(*record, call, result);
}

bool sendCall(PollerState& state, const SocketOperation& call, long& result) {
    IocpSocket* record = recordFor(state, call.socket);
    if (record == nullptr) return false;
    if (record->send.inFlight) {
        result = -WSAEWOULDBLOCK;
        return true;
    }
    if (record->heldError != 0) {
        result = -record->heldError;
        record->heldError = 0;
        return true;
    }
    const std::size_t taken = call.bytes < kMostBytesSentAtOnce ? call.bytes : kMostBytesSentAtOnce;
    record->sending.assign(static_cast<const char*>(call.buffer), taken);
    WSABUF buffer{static_cast<ULONG>(taken), record->sending.data()};
    record->send.overlapped = OVERLAPPED{};
    const int returned = WSASend(call.socket, &buffer, 1, nullptr, static_cast<DWORD>(call.flags),
                                 &record->send.overlapped, nullptr);
    if (!started(state, record->send, returned)) {
        result = -record->heldError;
        record->heldError = 0;
        return true;
    }
    result = static_cast<long>(taken);
    return true;
}

// Windows 10 defers the choice of a wildcard bind's port to the connect,
// which may then share ports between peers, as connect alone does. The
// Windows SDK's value; MinGW's headers lack it.
constexpr int kReuseUnicastPort = 0x3007;
// Where the system cannot defer it (Wine refuses the option), a bind to port
// 0 makes the system search its ports: Linux, under Wine, walks every port
// in use, which held ten thousand clients to a few hundred connects a second.
// So the port is picked here, in turn from the upper half of the port
// numbers, where both Windows' dynamic ports and Linux's ephemeral ones lie:
// room for a process's clients and as many ports again that closed
// connections still hold. A few tries over ports in use, then port 0.
constexpr unsigned kFirstDynamicPort = 32768;
constexpr unsigned kDynamicPorts = 32768;
constexpr int kPortTries = 16;
// Ports are taken in turn, so those in use lie in runs: after one refusal the
// next try is far off, where the odds are those of the whole range.
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

// Asked on the first connect of the process: Wine takes the option and
// ignores it, so what counts is whether the bind left the port unchosen.
// False when the socket is still to be bound.
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

// Without SO_REUSEADDR a port a closed connection still holds (TIME_WAIT)
// is refused here, so that its connect cannot fail on it.
bool bindPickedPort(SOCKET socket, int family) {
    const int reuse = 0;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse),
               sizeof(reuse));
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

// ConnectEx wants a bound socket; one bound already (to a source address)
// answers WSAEINVAL and keeps its address. False when it cannot be bound.
bool bindForConnect(SOCKET socket, int family) {
    return bindDeferred(socket, family) || bindPickedPort(socket, family);
}

bool connectCall(PollerState& state, const SocketOperation& call, long& result) {
    const auto* address = static_cast<const sockaddr*>(call.buffer);
    const int family = address->sa_family;
    LPFN_CONNECTEX connectEx = connectExFunction();
    if ((family != AF_INET && family != AF_INET6) || connectEx == nullptr) return false;
    IocpSocket* record = recordFor(state, call.socket);
    if (record == nullptr) return false;
    if (!bindForConnect(call.socket, family)) {
        result = -WSAGetLastError();
        return true;
    }
    record->connectedHere = true;
    record->connectError = 0;
    record->connect.overlapped = OVERLAPPED{};
    const BOOL done = connectEx(call.socket, address, static_cast<int>(call.bytes), nullptr, 0,
                                nullptr, &record->connect.overlapped);
    if (!started(state, record->connect, done ? 0 : SOCKET_ERROR)) {
        result = -record->heldError;
        record->heldError = 0;
        return true;
    }
    result = -WSAEWOULDBLOCK;  // finished or not, the completion tells
    return true;
}

bool connectResult(PollerState& state, const SocketOperation& call, long& result) {
    IocpSocket* record = knownRecord(state, call.socket);
    if (record == nullptr || !record->connectedHere) return false;
    result = record->connect.inFlight ? 0 : -record->connectError;
    return true;
}

}  // namespace

LPFN_CONNECTEX connectExFunction() {
    static const LPFN_CONNECTEX function = loadConnectEx();
    return function;
}

// The receive behind a wait for bytes. False when the system refused it at
// once; the record then holds the error for the receive call.
bool startReceive(PollerState& state, IocpSocket& record) {
    WSABUF buffer{static_cast<ULONG>(kIocpReceiveBytes), record.received};
    DWORD flags = 0;
    record.heldOffset = 0;
    record.receive.overlapped = OVERLAPPED{};
    const int returned =
        WSARecv(record.socket, &buffer, 1, nullptr, &flags, &record.receive.overlapped, nullptr);
    return started(state, record.receive, returned);
}

bool submitIocp(PollerState* state, Fiber* /*fiber*/, const SocketOperation& call, long& result) {
    switch (call.call) {
        case SocketCall::Receive:
            return receiveCall(*state, call, result);
        case SocketCall::Send:
            return sendCall(*state, call, result);
        case SocketCall::Connect:
            return connectCall(*state, call, result);
        case SocketCall::ConnectResult:
            return connectResult(*state, call, result);
    }
    return false;
}
