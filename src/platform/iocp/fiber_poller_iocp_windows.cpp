// The I/O completion port poller: a port per worker, every socket its fibers
// use tied to it, each wait an overlapped operation whose completion ends it.
// GetQueuedCompletionStatusEx takes completions in batches, so a loop's cost
// follows the sockets that did something; a wake-up is a posted completion.
// A wait whose deadline passes cancels its receive or connect (CancelIoEx),
// a close cancels the rest; the records stay until the completions come.
#include "platform/iocp/iocp_poller_state_windows.h"

#include <mmsystem.h>
#include <new>

namespace {

constexpr ULONG kCompletionsPerTake = 256;  // completions one call takes at most
constexpr int kMostTakesPerPoll = 8;        // then the loop's fibers run first
constexpr DWORD kTeardownWaitMs = 2000;     // how long a worker's end waits for cancels
constexpr std::int64_t kNsPerMsHere = 1'000'000;

// Once per process, as for WSAPoll: waits end within a millisecond of their
// timeout, not on the 15.6 ms tick, which pacing sleeps depend on.
void raiseTimerResolutionOnce() {
    [[maybe_unused]] static const bool raised = timeBeginPeriod(1) == TIMERR_NOERROR;
}

// Whole milliseconds, rounded up so that a sleep never ends early.
DWORD takeTimeoutMs(std::int64_t wakeNs, bool mayBlock) {
    if (!mayBlock) return 0;
    if (wakeNs == INT64_MAX) return INFINITE;
    const std::int64_t leftNs = wakeNs - monotonicNowNs();
    if (leftNs <= 0) return 0;
    const std::int64_t leftMs = (leftNs + kNsPerMsHere - 1) / kNsPerMsHere;
    return static_cast<DWORD>(leftMs < 0x7FFF'FFFF ? leftMs : 0x7FFF'FFFF);
}

// Hands each completion to its operation; a wake-up carries none. False when
// the call took nothing, within timeoutMs.
bool takeCompletions(PollerState& state, DWORD timeoutMs, ULONG& taken) {
    OVERLAPPED_ENTRY entries[kCompletionsPerTake];
    taken = 0;
    if (!GetQueuedCompletionStatusEx(state.port, entries, kCompletionsPerTake, &taken, timeoutMs,
                                     FALSE)) {
        return false;
    }
    for (ULONG index = 0; index < taken; ++index) {
        OVERLAPPED* overlapped = entries[index].lpOverlapped;
        if (overlapped == nullptr) continue;
        completeOperation(state, *reinterpret_cast<IocpOperation*>(overlapped),
                          entries[index].dwNumberOfBytesTransferred);
    }
    return true;
}

// At a worker's end, operations still in flight are cancelled and waited
// for; a record the system never hands back stays allocated, not freed under it.
void settleInFlight(PollerState& state) {
    for (auto& [socket, record] : state.sockets) {
        if (!anyInFlight(*record)) {
            delete record;
            continue;
        }
        record->closed = true;  // the last completion frees it
        CancelIoEx(reinterpret_cast<HANDLE>(socket), nullptr);
    }
    state.sockets.clear();
    const DWORD startedMs = GetTickCount();
    ULONG taken = 0;
    while (state.inFlight > 0 && GetTickCount() - startedMs < kTeardownWaitMs) {
        takeCompletions(state, 50, taken);
    }
}

void destroyIocp(PollerState* state) {
    if (state->port != nullptr) {
        settleInFlight(*state);
        CloseHandle(state->port);
    }
    if (state->winsockStarted) WSACleanup();
    delete state;
}

PollerState* createIocp(FiberWorker& worker) {
    auto* state = new (std::nothrow) PollerState;
    if (state == nullptr) return nullptr;
    state->worker = &worker;
    WSADATA data;
    state->winsockStarted = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    if (state->winsockStarted) {
        state->port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    }
    if (state->port == nullptr || connectExFunction() == nullptr) {
        destroyIocp(state);
        return nullptr;
    }
    raiseTimerResolutionOnce();
    return state;
}

bool attachIocp(PollerState* /*state*/) {
    return true;
}

// Parks the fiber on an operation already in flight.
WaitStart parkOn(IocpOperation& operation, Fiber* fiber, FiberSocketWait& wait) {
    operation.fiber = fiber;
    wait.pollerSlot = &operation;
    return WaitStart::Parked;
}

// Bytes: held ones end the wait at once, else a receive brings the next.
// Room: a connect or a send in flight ends the wait when it completes;
// with neither, the socket takes a send at once.
WaitStart beginIocpWait(PollerState* state, Fiber* fiber, FiberSocketWait& wait) {
    IocpSocket* record = recordFor(*state, wait.socket);
    if (record == nullptr) return WaitStart::Failed;
    if (wait.direction == SocketWait::Writable) {
        if (record->connect.inFlight) return parkOn(record->connect, fiber, wait);
        if (record->send.inFlight) return parkOn(record->send, fiber, wait);
        return WaitStart::Ready;
    }
    if (record->heldBytes > 0 || record->heldEnd || record->heldError != 0) {
        return WaitStart::Ready;
    }
    if (record->receive.inFlight) return parkOn(record->receive, fiber, wait);
    // Refused at once: the receive call reports the error it left.
    if (!startReceive(*state, *record)) return WaitStart::Ready;
    return parkOn(record->receive, fiber, wait);
}

// A send is left to finish, as the socket's bytes must stay in order; a
// receive's bytes, should they come before the cancel, are held as usual.
void abandonIocpWait(PollerState* /*state*/, FiberSocketWait& wait) {
    auto* operation = static_cast<IocpOperation*>(wait.pollerSlot);
    if (operation == nullptr) return;
    operation->fiber = nullptr;
    wait.pollerSlot = nullptr;
    if (!operation->inFlight || operation->call == IocpCall::Send) return;
    CancelIoEx(reinterpret_cast<HANDLE>(operation->owner->socket), &operation->overlapped);
}

void forgetIocpSocket(PollerState* state, SOCKET socket) {
    forgetRecord(*state, socket);
}

void pollIocp(PollerState* state, std::int64_t wakeNs, bool mayBlock) {
    DWORD timeoutMs = takeTimeoutMs(wakeNs, mayBlock);
    ULONG taken = 0;
    for (int take = 0; take < kMostTakesPerPoll; ++take) {
        if (!takeCompletions(*state, timeoutMs, taken) || taken < kCompletionsPerTake) break;
        timeoutMs = 0;
    }
    takeRemoteReady(*state->worker);
}

void wakeIocp(PollerState* state) {
    // A port holds any number of posts, and one is all the loop needs.
    PostQueuedCompletionStatus(state->port, 0, 0, nullptr);
}

// The reference to Winsock is kept: ConnectEx lives in a provider that
// the last WSACleanup could unload.
bool iocpUsable() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0 && connectExFunction() != nullptr;
}

}  // namespace

const FiberPoller kIocpPoller = {
    "iocp",          iocpUsable,       createIocp, destroyIocp, attachIocp, beginIocpWait,
    abandonIocpWait, forgetIocpSocket, pollIocp,   wakeIocp,    submitIocp,
};
