// The WSAPoll poller. WSAPoll is level-triggered and needs no registration, so
// each poll takes the sockets the worker's fibers wait on, and a closed socket
// leaves nothing behind. A wake-up from another thread arrives as a byte on
// the worker's own loopback socket, since WSAPoll waits on sockets only.
#include "platform/fibers/fiber_poller.h"

#include <mmsystem.h>
#include <new>
#include <vector>

namespace {

constexpr std::int64_t kNsPerMs = 1'000'000;
// WSAPoll costs the system time in proportion to the sockets it is given, and
// returns as soon as one of them is ready. Polling again at once after each
// event would cost time in proportion to the square of the sockets while
// connections trickle in (ten thousand clients took a minute to connect that
// way under Wine), so polls are spaced by this much per waiting socket.
constexpr std::int64_t kPollSpacingNsPerSocket = 2000;

}  // namespace

struct PollerState {
    FiberWorker* worker = nullptr;         // the worker it serves
    SOCKET wakeReceiver = INVALID_SOCKET;  // loopback datagram socket the loop polls
    SOCKET wakeSender = INVALID_SOCKET;    // connected to wakeReceiver; any thread sends on it
    std::vector<WSAPOLLFD> pollSet;        // the wake-up socket, then each waiter's socket
    std::int64_t lastPollNs = 0;           // when the last WSAPoll began
    bool winsockStarted = false;           // this poller holds a WSAStartup reference
};

namespace {

void drainWakeSocket(PollerState& state) {
    char bytes[64];
    while (recv(state.wakeReceiver, bytes, sizeof(bytes), 0) > 0) {
    }
}

bool setNonBlocking(SOCKET socket) {
    u_long enable = 1;
    return ioctlsocket(socket, FIONBIO, &enable) == 0;
}

bool openWakeSockets(PollerState& state) {
    state.wakeReceiver = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    state.wakeSender = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (state.wakeReceiver == INVALID_SOCKET || state.wakeSender == INVALID_SOCKET) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    auto* named = reinterpret_cast<sockaddr*>(&address);
    return bind(state.wakeReceiver, named, sizeof(address)) == 0 &&
           getsockname(state.wakeReceiver, named, &length) == 0 &&
           connect(state.wakeSender, named, sizeof(address)) == 0 &&
           setNonBlocking(state.wakeReceiver) && setNonBlocking(state.wakeSender);
}

// Once per process: the loop's WSAPoll timeouts then end within a millisecond
// instead of on the default 15.6 ms tick, which pacing sleeps depend on. Held
// for the rest of the process, which performs one run.
void raiseTimerResolutionOnce() {
    [[maybe_unused]] static const bool raised = timeBeginPeriod(1) == TIMERR_NOERROR;
}

void destroyWsaPoll(PollerState* state) {
    if (state->wakeReceiver != INVALID_SOCKET) closesocket(state->wakeReceiver);
    if (state->wakeSender != INVALID_SOCKET) closesocket(state->wakeSender);
    if (state->winsockStarted) WSACleanup();
    delete state;
}

PollerState* createWsaPoll(FiberWorker& worker) {
    auto* state = new (std::nothrow) PollerState;
    if (state == nullptr) return nullptr;
    state->worker = &worker;
    WSADATA data;
    state->winsockStarted = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    if (!state->winsockStarted || !openWakeSockets(*state)) {
        destroyWsaPoll(state);
        return nullptr;
    }
    raiseTimerResolutionOnce();
    return state;
}

bool attachWsaPoll(PollerState* /*state*/) {
    return true;
}

// The next poll takes the socket from the worker's list of waiters.
WaitStart beginWsaPollWait(PollerState* /*state*/, Fiber* /*fiber*/, FiberSocketWait& /*wait*/) {
    return WaitStart::Parked;
}

void abandonWsaPollWait(PollerState* /*state*/, FiberSocketWait& /*wait*/) {}

void forgetWsaPollSocket(PollerState* /*state*/, SOCKET /*socket*/) {}

// Whole milliseconds, rounded up so that a sleep never ends early; -1 waits
// until a socket or a wake-up ends it.
INT pollTimeoutMs(std::int64_t wakeNs, bool mayBlock) {
    if (!mayBlock) return 0;
    if (wakeNs == INT64_MAX) return -1;
    const std::int64_t leftNs = wakeNs - monotonicNowNs();
    if (leftNs <= 0) return 0;
    const std::int64_t leftMs = (leftNs + kNsPerMs - 1) / kNsPerMs;
    return static_cast<INT>(leftMs < 0x7FFF'FFFF ? leftMs : 0x7FFF'FFFF);
}

void wakeSocketWaiters(PollerState& state) {
    // Backwards: a waiter that stops is replaced in its slot by the last one,
    // whose poll entry has been looked at already.
    for (std::size_t index = socketWaiterCount(*state.worker); index > 0; --index) {
        const WSAPOLLFD& entry = state.pollSet[index];
        if (entry.revents == 0) continue;
        const bool invalid = (entry.revents & POLLNVAL) != 0;
        if (invalid || (entry.revents & (entry.events | POLLERR | POLLHUP)) != 0) {
            finishSocketWait(*state.worker, socketWaiterAt(*state.worker, index - 1),
                             invalid ? WaitResult::Failed : WaitResult::Ready);
        }
    }
}

// True when the last poll was too recent for one over this many sockets.
// With fibers ready they run first; with none, the worker sleeps the rest.
bool deferPoll(PollerState& state, bool mayBlock) {
    const auto waiting = static_cast<std::int64_t>(socketWaiterCount(*state.worker));
    const std::int64_t earliestNs = state.lastPollNs + waiting * kPollSpacingNsPerSocket;
    const std::int64_t leftNs = earliestNs - monotonicNowNs();
    if (leftNs <= 0) return false;
    if (!mayBlock) return true;
    // Sleeps come in whole milliseconds: a shorter wait is not worth one.
    if (leftNs < kNsPerMs) return false;
    SleepEx(static_cast<DWORD>(leftNs / kNsPerMs), FALSE);
    return false;
}

void pollWsaPoll(PollerState* state, std::int64_t wakeNs, bool mayBlock) {
    FiberWorker& worker = *state->worker;
    if (deferPoll(*state, mayBlock)) {
        takeRemoteReady(worker);
        return;
    }
    state->lastPollNs = monotonicNowNs();
    const std::size_t waiting = socketWaiterCount(worker);
    state->pollSet.resize(waiting + 1);
    state->pollSet[0] = WSAPOLLFD{state->wakeReceiver, POLLRDNORM, 0};
    for (std::size_t index = 0; index < waiting; ++index) {
        const FiberSocketWait& wait = socketWaitOf(socketWaiterAt(worker, index));
        const SHORT events = wait.direction == SocketWait::Readable ? POLLRDNORM : POLLWRNORM;
        state->pollSet[index + 1] = WSAPOLLFD{wait.socket, events, 0};
    }
    const int count = WSAPoll(state->pollSet.data(), static_cast<ULONG>(state->pollSet.size()),
                              pollTimeoutMs(wakeNs, mayBlock));
    if (count > 0) {
        if (state->pollSet[0].revents != 0) drainWakeSocket(*state);
        wakeSocketWaiters(*state);
    }
    takeRemoteReady(worker);
}

void wakeWsaPoll(PollerState* state) {
    const char byte = 1;
    // A full buffer already holds a wake-up, which is all the loop needs.
    send(state->wakeSender, &byte, 1, 0);
}

bool wsaPollUsable() {
    return true;
}

}  // namespace

const FiberPoller kWsaPollPoller = {
    "WSAPoll",        wsaPollUsable,      createWsaPoll,       destroyWsaPoll, attachWsaPoll,
    beginWsaPollWait, abandonWsaPollWait, forgetWsaPollSocket, pollWsaPoll,    wakeWsaPoll,
    nullptr,
};
