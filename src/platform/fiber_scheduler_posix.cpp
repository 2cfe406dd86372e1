// One epoll loop per pool worker thread, running the callbacks as fibers.
//
// A fiber runs until it waits on a socket, sleeps or ends; the loop then runs
// the next ready fiber, and when none is ready it blocks in epoll until a
// socket, a timer or a wake-up makes one ready. Socket deadlines only bound
// waits that have already gone wrong, so they are checked by a coarse sweep;
// sleeps pace the requests and get a precise timer each.
#include "platform/fiber_scheduler.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <deque>
#include <mutex>
#include <new>
#include <queue>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

#include "platform/fiber_context_posix.h"

namespace {

// A client needs its 4 KiB receive buffer and getaddrinfo; only touched pages cost memory.
constexpr std::size_t kFiberStackBytes = 256 * 1024;
constexpr std::int64_t kDeadlineSweepNs = 20'000'000;  // how late a socket deadline may fire
// A poll that returns sooner than this after it began found its events
// waiting: they arose while the loop ran fibers, at some time since its last poll.
constexpr std::int64_t kReturnedAtOnceNs = 200'000;
constexpr int kEventsPerPoll = 256;

std::int64_t nowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

}  // namespace

struct Fiber {
    FiberContext context;                       // its stack and saved registers
    FiberWorker* worker = nullptr;              // the worker it belongs to for life
    void (*task)(void*) = nullptr;              // what it runs
    void* taskArgument = nullptr;               // task's argument
    bool ended = false;                         // task has returned; the stack can be reused
    SOCKET waitSocket = INVALID_SOCKET;         // socket it is parked on, or none
    std::uint32_t waitEvents = 0;               // epoll events that end its wait
    std::int64_t waitDeadlineNs = 0;            // monotonic instant its socket wait times out
    std::int64_t waitBeganNs = 0;               // monotonic instant its socket wait began
    std::int64_t readySinceNs = 0;              // since when its last Ready socket may be ready
    std::size_t waiterIndex = 0;                // its place in the worker's socketWaiters
    WaitResult waitResult = WaitResult::Ready;  // how the last wait ended
};

namespace {

struct SocketRecord {
    bool registered = false;    // added to the worker's epoll since it was opened
    std::uint32_t pending = 0;  // events seen while no fiber waited for them
    Fiber* waiter = nullptr;    // fiber parked on this socket, or none
};

struct TimerEntry {
    std::int64_t wakeNs;  // monotonic instant the sleeper is due
    Fiber* sleeper;       // fiber to make ready then
    bool operator>(const TimerEntry& other) const { return wakeNs > other.wakeNs; }
};

thread_local FiberWorker* t_worker = nullptr;  // worker this thread runs, or none
thread_local Fiber* t_fiber = nullptr;         // fiber running on it, or none

}  // namespace

struct FiberWorker {
    FiberContext threadContext;         // the worker thread's own stack
    int epollFd = -1;                   // its sockets and its wake-up descriptor
    int wakeFd = -1;                    // eventfd written to wake it
    std::atomic<bool> parked{false};    // blocked in epoll with nothing to run
    std::deque<Fiber*> ready;           // fibers that can run, in order
    std::vector<Fiber*> socketWaiters;  // fibers parked on a socket
    std::priority_queue<TimerEntry, std::vector<TimerEntry>, std::greater<TimerEntry>> timers;
    std::vector<SocketRecord> sockets;  // indexed by descriptor
    std::vector<Fiber*> spareFibers;    // ended fibers with their stacks
    std::mutex remoteLock;              // guards remoteReady, filled by other threads
    std::vector<Fiber*> remoteReady;    // fibers resumed by other threads, not yet queued
    FiberStackArena stacks;             // where every fiber's stack comes from
    std::size_t liveFibers = 0;         // fibers spawned and not yet ended
    std::int64_t nextSweepNs = 0;       // when socket deadlines are checked next
    std::int64_t polledNs = 0;          // when the last epoll wait returned
    std::int64_t pollReadySinceNs = 0;  // earliest its last poll's events may have arisen
};

namespace {

SocketRecord& recordOf(FiberWorker& worker, SOCKET socket) {
    const auto index = static_cast<std::size_t>(socket);
    if (index >= worker.sockets.size()) worker.sockets.resize(index + 1024);
    return worker.sockets[index];
}

void signalWakeDescriptor(FiberWorker& worker) {
    const std::uint64_t one = 1;
    // A full counter still leaves the descriptor readable, which is all a wake-up needs.
    [[maybe_unused]] const auto written = write(worker.wakeFd, &one, sizeof(one));
}

void parkRunningFiber() {
    Fiber* fiber = t_fiber;
    switchFiber(fiber->context, fiber->worker->threadContext, false);
}

void fiberMain(void* argument) {
    auto* fiber = static_cast<Fiber*>(argument);
    fiber->task(fiber->taskArgument);
    fiber->ended = true;
    switchFiber(fiber->context, fiber->worker->threadContext, true);
}

void stopWaitingOnSocket(FiberWorker& worker, Fiber* fiber, WaitResult result) {
    Fiber* last = worker.socketWaiters.back();
    last->waiterIndex = fiber->waiterIndex;
    worker.socketWaiters[fiber->waiterIndex] = last;
    worker.socketWaiters.pop_back();
    recordOf(worker, fiber->waitSocket).waiter = nullptr;
    fiber->waitSocket = INVALID_SOCKET;
    fiber->waitResult = result;
    worker.ready.push_back(fiber);
}

// Ended fibers are kept, stacks and all, until the worker is destroyed. An
// unmap while the other workers run costs a TLB shootdown on every processor;
// after they have been joined it costs next to nothing.
void recycle(FiberWorker& worker, Fiber* fiber) {
    --worker.liveFibers;
    worker.spareFibers.push_back(fiber);
}

// Runs every fiber that is ready now; those made ready meanwhile wait for the next round.
void runReadyFibers(FiberWorker& worker) {
    for (std::size_t count = worker.ready.size(); count > 0; --count) {
        Fiber* fiber = worker.ready.front();
        worker.ready.pop_front();
        t_fiber = fiber;
        switchFiber(worker.threadContext, fiber->context, false);
        t_fiber = nullptr;
        if (fiber->ended) recycle(worker, fiber);
    }
}

void dispatchEvent(FiberWorker& worker, const epoll_event& event) {
    if (event.data.fd == worker.wakeFd) {
        std::uint64_t count = 0;
        while (read(worker.wakeFd, &count, sizeof(count)) > 0) {
        }
        std::lock_guard guard(worker.remoteLock);
        for (Fiber* fiber : worker.remoteReady) worker.ready.push_back(fiber);
        worker.remoteReady.clear();
        return;
    }
    SocketRecord& record = recordOf(worker, event.data.fd);
    if (!record.registered) return;  // closed since the event was queued
    record.pending |= event.events;
    Fiber* waiter = record.waiter;
    if (waiter == nullptr || (event.events & waiter->waitEvents) == 0) return;
    record.pending &= ~(waiter->waitEvents & (EPOLLIN | EPOLLOUT));
    waiter->readySinceNs = std::max(waiter->waitBeganNs, worker.pollReadySinceNs);
    stopWaitingOnSocket(worker, waiter, WaitResult::Ready);
}

std::int64_t nextWakeNs(const FiberWorker& worker) {
    std::int64_t wakeNs = INT64_MAX;
    if (!worker.timers.empty()) wakeNs = worker.timers.top().wakeNs;
    if (!worker.socketWaiters.empty() && worker.nextSweepNs < wakeNs) wakeNs = worker.nextSweepNs;
    return wakeNs;
}

int waitForEvents(FiberWorker& worker, epoll_event* events, bool mayBlock) {
    const std::int64_t wakeNs = mayBlock ? nextWakeNs(worker) : 0;
    timespec timeout{};
    const timespec* timeoutOrNull = &timeout;
    if (wakeNs == INT64_MAX) {
        timeoutOrNull = nullptr;  // nothing due: only a socket or a wake-up ends this
    } else if (mayBlock) {
        const std::int64_t leftNs = wakeNs - nowNs();
        if (leftNs > 0) {
            timeout.tv_sec = static_cast<time_t>(leftNs / 1'000'000'000);
            timeout.tv_nsec = static_cast<long>(leftNs % 1'000'000'000);
        }
    }
    const int count = epoll_pwait2(worker.epollFd, events, kEventsPerPoll, timeoutOrNull, nullptr);
    if (count >= 0 || errno != ENOSYS) return count;
    // Kernels before 5.11 only take milliseconds; round up so a sleep never ends early.
    int timeoutMs = -1;
    if (timeoutOrNull != nullptr) {
        timeoutMs =
            static_cast<int>(timeout.tv_sec * 1000 + (timeout.tv_nsec + 999'999) / 1'000'000);
    }
    return epoll_wait(worker.epollFd, events, kEventsPerPoll, timeoutMs);
}

// A socket wait times out only once a poll that returned at or after its
// deadline has not found the socket ready, whenever the sweep comes round.
void wakeDueFibers(FiberWorker& worker) {
    const std::int64_t now = nowNs();
    while (!worker.timers.empty() && worker.timers.top().wakeNs <= now) {
        worker.ready.push_back(worker.timers.top().sleeper);
        worker.timers.pop();
    }
    if (worker.socketWaiters.empty() || now < worker.nextSweepNs) return;
    worker.nextSweepNs = now + kDeadlineSweepNs;
    for (std::size_t index = worker.socketWaiters.size(); index > 0; --index) {
        Fiber* fiber = worker.socketWaiters[index - 1];
        if (fiber->waitDeadlineNs <= worker.polledNs) {
            stopWaitingOnSocket(worker, fiber, WaitResult::TimedOut);
        }
    }
}

// Events that woke a blocked poll arose just before it returned; events a
// poll found waiting arose while the loop ran fibers, so they are dated from
// the loop's previous poll: a busy loop must not make a socket late.
void notePollInstants(FiberWorker& worker, std::int64_t beganNs) {
    const std::int64_t returnedNs = nowNs();
    worker.pollReadySinceNs =
        returnedNs - beganNs < kReturnedAtOnceNs ? worker.polledNs : returnedNs;
    worker.polledNs = returnedNs;
}

void pollAndWake(FiberWorker& worker, bool mayBlock) {
    epoll_event events[kEventsPerPoll];
    const std::int64_t beganNs = nowNs();
    const int count = waitForEvents(worker, events, mayBlock);
    notePollInstants(worker, beganNs);
    worker.parked.store(false);
    for (int index = 0; index < count; ++index) dispatchEvent(worker, events[index]);
    wakeDueFibers(worker);
}

}  // namespace

FiberWorker* createFiberWorker() {
    auto* worker = new (std::nothrow) FiberWorker;
    if (worker == nullptr) return nullptr;
    worker->epollFd = epoll_create1(EPOLL_CLOEXEC);
    worker->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = worker->wakeFd;
    if (worker->epollFd < 0 || worker->wakeFd < 0 ||
        epoll_ctl(worker->epollFd, EPOLL_CTL_ADD, worker->wakeFd, &event) != 0) {
        destroyFiberWorker(worker);
        return nullptr;
    }
    return worker;
}

void destroyFiberWorker(FiberWorker* worker) {
    for (Fiber* fiber : worker->spareFibers) {
        retireFiber(fiber->context);
        delete fiber;
    }
    releaseFiberStacks(worker->stacks);
    { std::lock_guard guard(worker->remoteLock); }  // the last resumeFiber has let go
    if (worker->epollFd >= 0) close(worker->epollFd);
    if (worker->wakeFd >= 0) close(worker->wakeFd);
    delete worker;
}

void runFiberWorker(FiberWorker& worker, FiberRefill refill, void* owner) {
    adoptThreadContext(worker.threadContext);
    t_worker = &worker;
    for (;;) {
        const bool more = refill(worker, owner);
        if (!more && worker.liveFibers == 0) break;
        runReadyFibers(worker);
        if (worker.ready.empty()) {
            // Parked before the last look at the queue, so a submit racing with
            // it either is seen here or wakes the epoll wait below.
            worker.parked.store(true);
            if (!refill(worker, owner) && worker.liveFibers == 0) break;
        }
        pollAndWake(worker, worker.ready.empty());
    }
    t_worker = nullptr;
}

bool spawnFiber(FiberWorker& worker, void (*task)(void*), void* argument) {
    Fiber* fiber = nullptr;
    if (!worker.spareFibers.empty()) {
        fiber = worker.spareFibers.back();
        worker.spareFibers.pop_back();
        restartFiber(fiber->context, fiberMain, fiber);
    } else {
        fiber = new (std::nothrow) Fiber;
        if (fiber == nullptr) return false;
        if (!prepareFiber(worker.stacks, fiber->context, kFiberStackBytes, fiberMain, fiber)) {
            delete fiber;
            return false;
        }
    }
    fiber->worker = &worker;
    fiber->task = task;
    fiber->taskArgument = argument;
    fiber->ended = false;
    ++worker.liveFibers;
    // Behind the fibers already ready: clients that are running keep their
    // pace while the later ones are still starting.
    worker.ready.push_back(fiber);
    return true;
}

// A worker refills once per pass over its ready fibers, and a connect costs
// tens of microseconds when the target is busy accepting thousands: a small
// batch lets the running clients' answers and planned starts wait one short
// pass, not seconds, while a large run starts up.
std::size_t runsTakenPerRefill() {
    return 64;
}

// A worker keeps its processor busy by itself: more would only take turns.
std::size_t fiberWorkersFor(std::size_t processors) {
    return processors;
}

std::size_t liveFiberCount(const FiberWorker& worker) {
    return worker.liveFibers;
}

void wakeFiberWorker(FiberWorker& worker) {
    if (worker.parked.exchange(false)) signalWakeDescriptor(worker);
}

bool onFiber() {
    return t_fiber != nullptr;
}

WaitResult waitOnFiber(SOCKET socket, SocketWait direction, int timeoutMs) {
    FiberWorker& worker = *t_worker;
    SocketRecord& record = recordOf(worker, socket);
    if (!record.registered) {
        epoll_event event{};
        event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
        event.data.fd = socket;
        if (epoll_ctl(worker.epollFd, EPOLL_CTL_ADD, socket, &event) != 0)
            return WaitResult::Failed;
        record = SocketRecord{true, 0, nullptr};
    }
    const std::uint32_t wanted =
        EPOLLERR | EPOLLHUP | (direction == SocketWait::Readable ? EPOLLIN | EPOLLRDHUP : EPOLLOUT);
    Fiber* fiber = t_fiber;
    fiber->waitBeganNs = nowNs();
    if ((record.pending & wanted) != 0) {
        // Seen while nobody waited. Errors and hang-ups stay: they hold for good.
        record.pending &= ~(wanted & (EPOLLIN | EPOLLOUT));
        fiber->readySinceNs = fiber->waitBeganNs;
        return WaitResult::Ready;
    }
    if (timeoutMs <= 0) return WaitResult::TimedOut;
    fiber->waitSocket = socket;
    fiber->waitEvents = wanted;
    fiber->waitDeadlineNs = fiber->waitBeganNs + static_cast<std::int64_t>(timeoutMs) * 1'000'000;
    fiber->waiterIndex = worker.socketWaiters.size();
    worker.socketWaiters.push_back(fiber);
    record.waiter = fiber;
    parkRunningFiber();
    return fiber->waitResult;
}

void sleepOnFiber(std::int64_t durationNs) {
    FiberWorker& worker = *t_worker;
    worker.timers.push(TimerEntry{nowNs() + durationNs, t_fiber});
    parkRunningFiber();
}

void forgetFiberSocket(SOCKET socket) {
    if (t_worker == nullptr || socket < 0) return;
    const auto index = static_cast<std::size_t>(socket);
    if (index < t_worker->sockets.size()) t_worker->sockets[index] = SocketRecord{};
}

std::int64_t fiberReadySinceNs() {
    return t_fiber->readySinceNs;
}

Fiber* runningFiber() {
    return t_fiber;
}

void parkUntilResumed() {
    parkRunningFiber();
}

void resumeFiber(Fiber* fiber) {
    FiberWorker& worker = *fiber->worker;
    // Both under the lock: once the fiber is queued it may end and its worker
    // be destroyed, which takes the lock before closing the descriptor.
    std::lock_guard guard(worker.remoteLock);
    worker.remoteReady.push_back(fiber);
    // Unconditional: the worker may be running and about to block in epoll.
    signalWakeDescriptor(worker);
}
