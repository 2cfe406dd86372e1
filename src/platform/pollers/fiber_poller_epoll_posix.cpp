// The epoll poller. Each socket is added once, edge-triggered, on its first
// wait; events that come while no fiber waits are kept for the next wait. A
// wake-up from another thread is an eventfd in the same epoll set.
#include <cerrno>
#include <ctime>
#include <new>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

#include "platform/fibers/fiber_poller.h"

namespace {

constexpr int kEventsPerPoll = 256;

struct SocketRecord {
    bool registered = false;    // added to the epoll set since it was opened
    std::uint32_t pending = 0;  // events seen while no fiber waited for them
    Fiber* waiter = nullptr;    // fiber parked on this socket, or none
    std::uint32_t wanted = 0;   // events that end the waiter's wait
};

}  // namespace

struct PollerState {
    FiberWorker* worker = nullptr;      // the worker it serves
    int epollFd = -1;                   // its sockets and its wake-up descriptor
    int wakeFd = -1;                    // eventfd written to wake it
    std::vector<SocketRecord> sockets;  // indexed by descriptor
};

namespace {

SocketRecord& recordOf(PollerState& state, SOCKET socket) {
    const auto index = static_cast<std::size_t>(socket);
    if (index >= state.sockets.size()) state.sockets.resize(index + 1024);
    return state.sockets[index];
}

void destroyEpoll(PollerState* state) {
    if (state->epollFd >= 0) close(state->epollFd);
    if (state->wakeFd >= 0) close(state->wakeFd);
    delete state;
}

PollerState* createEpoll(FiberWorker& worker) {
    auto* state = new (std::nothrow) PollerState;
    if (state == nullptr) return nullptr;
    state->worker = &worker;
    state->epollFd = epoll_create1(EPOLL_CLOEXEC);
    state->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = state->wakeFd;
    if (state->epollFd < 0 || state->wakeFd < 0 ||
        epoll_ctl(state->epollFd, EPOLL_CTL_ADD, state->wakeFd, &event) != 0) {
        destroyEpoll(state);
        return nullptr;
    }
    return state;
}

bool attachEpoll(PollerState* /*state*/) {
    return true;
}

WaitStart beginEpollWait(PollerState* state, Fiber* fiber, FiberSocketWait& wait) {
    SocketRecord& record = recordOf(*state, wait.socket);
    if (!record.registered) {
        epoll_event event{};
        event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
        event.data.fd = wait.socket;
        if (epoll_ctl(state->epollFd, EPOLL_CTL_ADD, wait.socket, &event) != 0) {
            return WaitStart::Failed;
        }
        record = SocketRecord{true, 0, nullptr, 0};
    }
    const std::uint32_t wanted =
        EPOLLERR | EPOLLHUP |
        (wait.direction == SocketWait::Readable ? EPOLLIN | EPOLLRDHUP : EPOLLOUT);
    if ((record.pending & wanted) != 0) {
        // Seen while nobody waited. Errors and hang-ups stay: they hold for good.
        record.pending &= ~(wanted & (EPOLLIN | EPOLLOUT));
        return WaitStart::Ready;
    }
    record.waiter = fiber;
    record.wanted = wanted;
    return WaitStart::Parked;
}

void abandonEpollWait(PollerState* state, FiberSocketWait& wait) {
    recordOf(*state, wait.socket).waiter = nullptr;
}

void forgetEpollSocket(PollerState* state, SOCKET socket) {
    const auto index = static_cast<std::size_t>(socket);
    if (index < state->sockets.size()) state->sockets[index] = SocketRecord{};
}

void dispatchEvent(PollerState& state, const epoll_event& event) {
    if (event.data.fd == state.wakeFd) {
        std::uint64_t count = 0;
        while (read(state.wakeFd, &count, sizeof(count)) > 0) {
        }
        takeRemoteReady(*state.worker);
        return;
    }
    SocketRecord& record = recordOf(state, event.data.fd);
    if (!record.registered) return;  // closed since the event was queued
    record.pending |= event.events;
    Fiber* waiter = record.waiter;
    if (waiter == nullptr || (event.events & record.wanted) == 0) return;
    record.pending &= ~(record.wanted & (EPOLLIN | EPOLLOUT));
    record.waiter = nullptr;
    finishSocketWait(*state.worker, waiter, WaitResult::Ready);
}

int waitForEvents(PollerState& state, epoll_event* events, std::int64_t wakeNs, bool mayBlock) {
    timespec timeout{};
    const timespec* timeoutOrNull = &timeout;
    if (mayBlock && wakeNs == INT64_MAX) {
        timeoutOrNull = nullptr;  // nothing due: only a socket or a wake-up ends this
    } else if (mayBlock) {
        const std::int64_t leftNs = wakeNs - monotonicNowNs();
        if (leftNs > 0) {
            timeout.tv_sec = static_cast<time_t>(leftNs / 1'000'000'000);
            timeout.tv_nsec = static_cast<long>(leftNs % 1'000'000'000);
        }
    }
    const int count = epoll_pwait2(state.epollFd, events, kEventsPerPoll, timeoutOrNull, nullptr);
    if (count >= 0 || errno != ENOSYS) return count;
    // Kernels before 5.11 only take milliseconds; round up so a sleep never ends early.
    int timeoutMs = -1;
    if (timeoutOrNull != nullptr) {
        timeoutMs =
            static_cast<int>(timeout.tv_sec * 1000 + (timeout.tv_nsec + 999'999) / 1'000'000);
    }
    return epoll_wait(state.epollFd, events, kEventsPerPoll, timeoutMs);
}

void pollEpoll(PollerState* state, std::int64_t wakeNs, bool mayBlock) {
    epoll_event events[kEventsPerPoll];
    const int count = waitForEvents(*state, events, wakeNs, mayBlock);
    for (int index = 0; index < count; ++index) dispatchEvent(*state, events[index]);
}

void wakeEpoll(PollerState* state) {
    const std::uint64_t one = 1;
    // A full counter still leaves the descriptor readable, which is all a wake-up needs.
    [[maybe_unused]] const auto written = write(state->wakeFd, &one, sizeof(one));
}

bool epollUsable() {
    return true;
}

}  // namespace

const FiberPoller kEpollPoller = {
    "epoll",          epollUsable,       createEpoll, destroyEpoll, attachEpoll, beginEpollWait,
    abandonEpollWait, forgetEpollSocket, pollEpoll,   wakeEpoll,    nullptr,
};
