// A fiber's socket calls under the completion port poller. A receive takes
// what a wait's WSARecv brought, else is the system's non-blocking recv; with
// a receive in flight it "would block", so no later bytes overtake those the
// kernel is writing. A send goes at once where the socket has room, else as
// an overlapped WSASend of a copy, and returns with every byte taken; the
// next one "would block" until that has completed. A connect is ConnectEx on a socket bound first.
#include <cstring>

#include "platform/iocp/iocp_poller_state_windows.h"
#include "platform/pollers/held_ending.h"

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
    return takeHeldEnding(record, peek, result);
}

bool takeHeldError(IocpSocket& record, long& result) {
    result = -record.heldError;
    record.heldError = 0;
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

// What the socket's buffer has room for goes at once; the rest, if any, is
// copied and sent overlapped, which spares a completion for most requests.
bool sendCall(PollerState& state, const SocketOperation& call, long& result) {
    IocpSocket* record = recordFor(state, call.socket);
    if (record == nullptr) return false;
    if (record->send.inFlight) {
        result = -WSAEWOULDBLOCK;
        return true;
    }
    if (record->heldError != 0) return takeHeldError(*record, result);
    auto* bytes = static_cast<char*>(call.buffer);
    const std::size_t taken = call.bytes < kMostBytesSentAtOnce ? call.bytes : kMostBytesSentAtOnce;
    WSABUF buffer{static_cast<ULONG>(taken), bytes};
    DWORD sent = 0;
    const auto flags = static_cast<DWORD>(call.flags);
    if (WSASend(call.socket, &buffer, 1, &sent, flags, nullptr, nullptr) != 0) {
        if (WSAGetLastError() != WSAEWOULDBLOCK) {
            result = -WSAGetLastError();
            return true;
        }
        sent = 0;
    }
    result = static_cast<long>(taken);
    if (sent >= taken) return true;
    record->sending.assign(bytes + sent, taken - sent);
    buffer = WSABUF{static_cast<ULONG>(record->sending.size()), record->sending.data()};
    record->send.overlapped = OVERLAPPED{};
    const int returned =
        WSASend(call.socket, &buffer, 1, nullptr, flags, &record->send.overlapped, nullptr);
    if (!started(state, record->send, returned) && sent == 0) return takeHeldError(*record, result);
    return true;
}

// With no address: whether connects come here (they need a bound socket).
bool connectCall(PollerState& state, const SocketOperation& call, long& result) {
    const auto* address = static_cast<const sockaddr*>(call.buffer);
    LPFN_CONNECTEX connectEx = connectExFunction();
    result = 0;
    if (address == nullptr || connectEx == nullptr) return connectEx != nullptr;
    IocpSocket* record = recordFor(state, call.socket);
    if (record == nullptr) return false;
    record->connectedHere = true;
    record->connectError = 0;
    record->connect.overlapped = OVERLAPPED{};
    const BOOL done = connectEx(call.socket, address, static_cast<int>(call.bytes), nullptr, 0,
                                nullptr, &record->connect.overlapped);
    if (!started(state, record->connect, done ? 0 : SOCKET_ERROR)) {
        return takeHeldError(*record, result);
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
