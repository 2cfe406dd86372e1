// The completion port poller's socket records and how a completion ends the
// operation it reports.
#include "platform/iocp/iocp_poller_state_windows.h"

#include <new>

namespace {

void prepare(IocpOperation& operation, IocpSocket* owner, IocpCall call) {
    operation.owner = owner;
    operation.call = call;
}

// The Winsock error a completion brought, or 0. The socket must still be open.
int completionError(const IocpOperation& operation) {
    if (operation.overlapped.Internal == 0) return 0;
    DWORD bytes = 0;
    DWORD flags = 0;
    auto* overlapped = const_cast<OVERLAPPED*>(&operation.overlapped);
    if (WSAGetOverlappedResult(operation.owner->socket, overlapped, &bytes, FALSE, &flags)) {
        return 0;
    }
    return WSAGetLastError();
}

bool cancelled(int error) {
    return error == WSA_OPERATION_ABORTED || error == ERROR_OPERATION_ABORTED;
}

// What a wait's receive brought is held for the receive call that follows,
// even when the wait has been given up meanwhile: those bytes are the
// socket's next ones.
void completeReceive(IocpSocket& record, int error, DWORD bytes) {
    if (error == 0 && bytes > 0) {
        record.heldOffset = 0;
        record.heldBytes = bytes;
    } else if (error == 0) {
        record.heldEnd = true;
    } else if (!cancelled(error) && record.heldError == 0) {
        record.heldError = error;
    }
}

// A send cut short has left the request half sent; the next call on the
// socket reports it.
void completeSend(IocpSocket& record, int error, DWORD bytes) {
    if (error == 0 && bytes < record.sending.size()) error = WSAECONNABORTED;
    if (error != 0 && record.heldError == 0) record.heldError = error;
}

// Until SO_UPDATE_CONNECT_CONTEXT, a socket ConnectEx connected knows no
// peer: getpeername and shutdown would fail on it.
void completeConnect(IocpSocket& record, int error) {
    record.connectError = cancelled(error) ? 0 : error;
    if (error == 0) {
        setsockopt(record.socket, SOL_SOCKET, SO_UPDATE_CONNECT_CONTEXT, nullptr, 0);
    }
}

}  // namespace

IocpSocket* knownRecord(PollerState& state, SOCKET socket) {
    const auto found = state.sockets.find(socket);
    return found == state.sockets.end() ? nullptr : found->second;
}

IocpSocket* recordFor(PollerState& state, SOCKET socket) {
    if (IocpSocket* known = knownRecord(state, socket)) return known;
    const auto handle = reinterpret_cast<HANDLE>(socket);
    if (CreateIoCompletionPort(handle, state.port, 0, 0) == nullptr) return nullptr;
    auto* record = new (std::nothrow) IocpSocket;
    if (record == nullptr) return nullptr;
    record->socket = socket;
    prepare(record->receive, record, IocpCall::Receive);
    prepare(record->send, record, IocpCall::Send);
    prepare(record->connect, record, IocpCall::Connect);
    state.sockets.emplace(socket, record);
    return record;
}

bool anyInFlight(const IocpSocket& record) {
    return record.receive.inFlight || record.send.inFlight || record.connect.inFlight;
}

bool started(PollerState& state, IocpOperation& operation, int returned) {
    // Success at once still posts a completion: the port is never told to skip them.
    const int error = returned == 0 ? 0 : WSAGetLastError();
    if (error != 0 && error != WSA_IO_PENDING && error != ERROR_IO_PENDING) {
        if (operation.owner->heldError == 0) operation.owner->heldError = error;
        return false;
    }
    operation.inFlight = true;
    ++state.inFlight;
    return true;
}

void completeOperation(PollerState& state, IocpOperation& operation, DWORD bytes) {
    IocpSocket& record = *operation.owner;
    operation.inFlight = false;
    --state.inFlight;
    if (record.closed) {
        if (!anyInFlight(record)) delete &record;
        return;
    }
    const int error = completionError(operation);
    switch (operation.call) {
        case IocpCall::Receive:
            completeReceive(record, error, bytes);
            break;
        case IocpCall::Send:
            completeSend(record, error, bytes);
            break;
        case IocpCall::Connect:
            completeConnect(record, error);
            break;
    }
    if (operation.fiber != nullptr) {
        Fiber* fiber = operation.fiber;
        operation.fiber = nullptr;
        finishSocketWait(*state.worker, fiber, WaitResult::Ready);
    }
}

// Before the close: what is in flight is cancelled, and the record stays
// until the port has handed back every operation, however the close races
// with them.
void forgetRecord(PollerState& state, SOCKET socket) {
    const auto found = state.sockets.find(socket);
    if (found == state.sockets.end()) return;
    IocpSocket* record = found->second;
    state.sockets.erase(found);
    if (!anyInFlight(*record)) {
        delete record;
        return;
    }
    record->closed = true;
    CancelIoEx(reinterpret_cast<HANDLE>(socket), nullptr);
}
