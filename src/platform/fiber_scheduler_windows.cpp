// One WSAPoll loop per pool worker thread, running the callbacks as Windows
// fibers.
//
// A fiber runs until it waits on a socket, sleeps or ends; the loop then runs
// the next ready fiber, and when none is ready it blocks in WSAPoll on the
// sockets its fibers wait for, until one is ready, a timer is due or a byte on
// the worker's wake-up socket says another thread has work for it. WSAPoll is
// level-triggered and needs no registration, so a closed socket leaves nothing
// behind. Socket deadlines only bound waits that have already gone wrong, so
// they are checked by a coarse sweep.
//
// Fibers are the system's own (CreateFiberEx), so structured exception
// handling, and with it C++ exceptions, unwind each fiber's stack correctly.
#include "platform/fiber_scheduler.h"

#include <algorithm>
#include <deque>
#include <mmsystem.h>
#include <mutex>
#include <new>
#include <queue>
#include <vector>

namespace {

constexpr std::size_t kWorkersPerProcessor = 8;

// Address space reserved per fiber; only the pages a client touches (its 4 KiB
// receive buffer, name lookups) are committed.
constexpr SIZE_T kFiberStackReserveBytes = 256 * 1024;
constexpr std::int64_t kDeadlineSweepNs = 20'000'000;  // how late a socket deadline may fire
constexpr std::int64_t kNsPerMs = 1'000'000;
// WSAPoll costs the system time in proportion to the sockets it is given, and
// returns as soon as one of them is ready. Polling again at once after each
// event would cost time in proportion to the square of the sockets while
// connections trickle in (ten thousand clients took a minute to connect that
// way under Wine), so polls are spaced by this much per waiting socket.
constexpr std::int64_t kPollSpacingNsPerSocket = 2000;
// A poll that returns sooner than this after it began found its events
// waiting: they arose while the loop ran fibers, at some time since its last
// poll. Each WSAPoll is a round trip to the system, so this is generous.
constexpr std::int64_t kReturnedAtOnceNs = 2'000'000;

std::int64_t nowNs() {
    static const std::int64_t frequency = [] {
        LARGE_INTEGER value;
        QueryPerformanceFrequency(&value);
        return value.QuadPart;
    }();
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    return count.QuadPart / frequency * 1'000'000'000 +
           count.QuadPart % frequency * 1'000'000'000 / frequency;
}

}  // namespace

struct Fiber {
    LPVOID handle = nullptr;                    // the system fiber, with its stack
    FiberWorker* worker = nullptr;              // the worker it belongs to for life
    void (*task)(void*) = nullptr;              // what it runs
    void* taskArgument = nullptr;               // task's argument
    bool ended = false;                         // task has returned; the fiber can be reused
    SOCKET waitSocket = INVALID_SOCKET;         // socket it is parked on, or none
    SHORT waitEvents = 0;                       // WSAPoll events that end its wait
    std::int64_t waitDeadlineNs = 0;            // monotonic instant its socket wait times out
    std::int64_t waitBeganNs = 0;               // monotonic instant its socket wait began
    std::int64_t readySinceNs = 0;              // since when its last Ready socket may be ready
    std::size_t waiterIndex = 0;                // its place in the worker's socketWaiters
    WaitResult waitResult = WaitResult::Ready;  // how the last wait ended
};

namespace {

struct TimerEntry {
    std::int64_t wakeNs;  // monotonic instant the sleeper is due
    Fiber* sleeper;       // fiber to make ready then
    bool operator>(const TimerEntry& other) const { return wakeNs > other.wakeNs; }
};

thread_local FiberWorker* t_worker = nullptr;  // worker this thread runs, or none
thread_local Fiber* t_fiber = nullptr;         // fiber running on it, or none

}  // namespace

struct FiberWorker {
    LPVOID threadFiber = nullptr;          // the worker thread's own context
    SOCKET wakeReceiver = INVALID_SOCKET;  // loopback datagram socket the loop polls
    SOCKET wakeSender = INVALID_SOCKET;    // connected to wakeReceiver; any thread sends on it
    std::atomic<bool> parked{false};       // blocked in WSAPoll with nothing to run
    std::deque<Fiber*> ready;              // fibers that can run, in order
    std::vector<Fiber*> socketWaiters;     // fibers parked on a socket
    std::vector<WSAPOLLFD> pollSet;        // the wake-up socket, then each waiter's socket
    std::priority_queue<TimerEntry, std::vector<TimerEntry>, std::greater<TimerEntry>> timers;
    std::vector<Fiber*> spareFibers;    // ended fibers, kept for reuse
    std::mutex remoteLock;              // guards remoteReady, filled by other threads
    std::vector<Fiber*> remoteReady;    // fibers resumed by other threads, not yet queued
    std::size_t liveFibers = 0;         // fibers spawned and not yet ended
    std::int64_t nextSweepNs = 0;       // when socket deadlines are checked next
    std::int64_t lastPollNs = 0;        // when the last WSAPoll began
    std::int64_t polledNs = 0;          // when the last WSAPoll returned
    std::int64_t pollReadySinceNs = 0;  // earliest its last poll's events may have arisen
    bool winsockStarted = false;        // this worker holds a WSAStartup reference
};

namespace {

void signalWakeSocket(FiberWorker& worker) {
    const char byte = 1;
    // A full buffer already holds a wake-up, which is all the loop needs.
    send(worker.wakeSender, &byte, 1, 0);
}

void drainWakeSocket(FiberWorker& worker) {
    char bytes[64];
    while (recv(worker.wakeReceiver, bytes, sizeof(bytes), 0) > 0) {
    }
}

// A datagram pair on 127.0.0.1: WSAPoll waits on sockets only, so a wake-up
// from another thread has to arrive as one.
bool openWakeSockets(FiberWorker& worker) {
    worker.wakeReceiver = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    worker.wakeSender = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (worker.wakeReceiver == INVALID_SOCKET || worker.wakeSender == INVALID_SOCKET) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    auto* named = reinterpret_cast<sockaddr*>(&address);
    return bind(worker.wakeReceiver, named, sizeof(address)) == 0 &&
           getsockname(worker.wakeReceiver, named, &length) == 0 &&
           connect(worker.wakeSender, named, sizeof(address)) == 0 &&
           makeNonBlocking(worker.wakeReceiver) && makeNonBlocking(worker.wakeSender);
}

void parkRunningFiber() {
    SwitchToFiber(t_fiber->worker->threadFiber);
}

// A system fiber must never return from its start routine (that would end the
// thread), so each one loops: run a task, report it ended, wait to be reused.
void WINAPI fiberMain(LPVOID argument) {
    auto* fiber = static_cast<Fiber*>(argument);
    for (;;) {
        fiber->task(fiber->taskArgument);
        fiber->ended = true;
        SwitchToFiber(fiber->worker->threadFiber);
    }
}

void stopWaitingOnSocket(FiberWorker& worker, Fiber* fiber, WaitResult result) {
    Fiber* last = worker.socketWaiters.back();
    last->waiterIndex = fiber->waiterIndex;
    worker.socketWaiters[fiber->waiterIndex] = last;
    worker.socketWaiters.pop_back();
    fiber->waitSocket = INVALID_SOCKET;
    fiber->waitResult = result;
    worker.ready.push_back(fiber);
}

// Runs every fiber that is ready now; those made ready meanwhile wait for the next round.
void runReadyFibers(FiberWorker& worker) {
    for (std::size_t count = worker.ready.size(); count > 0; --count) {
        Fiber* fiber = worker.ready.front();
        worker.ready.pop_front();
        t_fiber = fiber;
        SwitchToFiber(fiber->handle);
        t_fiber = nullptr;
        if (fiber->ended) {
            --worker.liveFibers;
            worker.spareFibers.push_back(fiber);
        }
    }
}

std::int64_t nextWakeNs(const FiberWorker& worker) {
    std::int64_t wakeNs = INT64_MAX;
    if (!worker.timers.empty()) wakeNs = worker.timers.top().wakeNs;
    if (!worker.socketWaiters.empty() && worker.nextSweepNs < wakeNs) wakeNs = worker.nextSweepNs;
    return wakeNs;
}

// Whole milliseconds, rounded up so that a sleep never ends early; -1 waits
// until a socket or a wake-up ends it.
INT pollTimeoutMs(const FiberWorker& worker, bool mayBlock) {
    if (!mayBlock) return 0;
    const std::int64_t wakeNs = nextWakeNs(worker);
    if (wakeNs == INT64_MAX) return -1;
    const std::int64_t leftNs = wakeNs - nowNs();
    if (leftNs <= 0) return 0;
    const std::int64_t leftMs = (leftNs + kNsPerMs - 1) / kNsPerMs;
    return static_cast<INT>(leftMs < 0x7FFF'FFFF ? leftMs : 0x7FFF'FFFF);
}

void wakeSocketWaiters(FiberWorker& worker) {
    // Backwards: a waiter that stops is replaced in its slot by the last one,
    // whose poll entry has been looked at already.
    for (std::size_t index = worker.socketWaiters.size(); index > 0; --index) {
        const SHORT seen = worker.pollSet[index].revents;
        if (seen == 0) continue;
        Fiber* fiber = worker.socketWaiters[index - 1];
        const bool invalid = (seen & POLLNVAL) != 0;
        if (invalid || (seen & (fiber->waitEvents | POLLERR | POLLHUP)) != 0) {
            fiber->readySinceNs = std::max(fiber->waitBeganNs, worker.pollReadySinceNs);
            stopWaitingOnSocket(worker, fiber, invalid ? WaitResult::Failed : WaitResult::Ready);
        }
    }
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

void takeRemoteReady(FiberWorker& worker) {
    std::lock_guard guard(worker.remoteLock);
    for (Fiber* fiber : worker.remoteReady) worker.ready.push_back(fiber);
    worker.remoteReady.clear();
}

// True when the last poll was too recent for one over this many sockets.
// With fibers ready they run first; with none, the worker sleeps the rest.
bool deferPoll(FiberWorker& worker, bool mayBlock) {
    const auto waiting = static_cast<std::int64_t>(worker.socketWaiters.size());
    const std::int64_t earliestNs = worker.lastPollNs + waiting * kPollSpacingNsPerSocket;
    const std::int64_t leftNs = earliestNs - nowNs();
    if (leftNs <= 0) return false;
    if (!mayBlock) return true;
    // Sleeps come in whole milliseconds: a shorter wait is not worth one.
    if (leftNs < kNsPerMs) return false;
    SleepEx(static_cast<DWORD>(leftNs / kNsPerMs), FALSE);
    return false;
}

void pollAndWake(FiberWorker& worker, bool mayBlock) {
    if (deferPoll(worker, mayBlock)) {
        worker.parked.store(false);
        takeRemoteReady(worker);
        wakeDueFibers(worker);
        return;
    }
    worker.lastPollNs = nowNs();
    worker.pollSet.resize(worker.socketWaiters.size() + 1);
    worker.pollSet[0] = WSAPOLLFD{worker.wakeReceiver, POLLRDNORM, 0};
    for (std::size_t index = 0; index < worker.socketWaiters.size(); ++index) {
        const Fiber* fiber = worker.socketWaiters[index];
        worker.pollSet[index + 1] = WSAPOLLFD{fiber->waitSocket, fiber->waitEvents, 0};
    }
    const int count = WSAPoll(worker.pollSet.data(), static_cast<ULONG>(worker.pollSet.size()),
                              pollTimeoutMs(worker, mayBlock));
    // Events that woke a blocked poll arose just before it returned; events it
    // found waiting arose while the loop ran fibers, so they are dated from the
    // previous poll: a busy loop must not make a socket late.
    const std::int64_t returnedNs = nowNs();
    worker.pollReadySinceNs =
        returnedNs - worker.lastPollNs < kReturnedAtOnceNs ? worker.polledNs : returnedNs;
    worker.polledNs = returnedNs;
    worker.parked.store(false);
    if (count > 0) {
        if (worker.pollSet[0].revents != 0) drainWakeSocket(worker);
        wakeSocketWaiters(worker);
    }
    takeRemoteReady(worker);
    wakeDueFibers(worker);
}

// GCC takes the header's read of the thread block through gs for an access
// to an empty array.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#endif
LPVOID currentFiber() {
    return GetCurrentFiber();
}
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

// Once per process: the loop's WSAPoll timeouts then end within a millisecond
// instead of on the default 15.6 ms tick, which pacing sleeps depend on. Held
// for the rest of the process, which performs one run.
void raiseTimerResolutionOnce() {
    [[maybe_unused]] static const bool raised = timeBeginPeriod(1) == TIMERR_NOERROR;
}

}  // namespace

FiberWorker* createFiberWorker() {
    auto* worker = new (std::nothrow) FiberWorker;
    if (worker == nullptr) return nullptr;
    WSADATA data;
    worker->winsockStarted = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    if (!worker->winsockStarted || !openWakeSockets(*worker)) {
        destroyFiberWorker(worker);
        return nullptr;
    }
    raiseTimerResolutionOnce();
    return worker;
}

void destroyFiberWorker(FiberWorker* worker) {
    for (Fiber* fiber : worker->spareFibers) {
        DeleteFiber(fiber->handle);
        delete fiber;
    }
    { std::lock_guard guard(worker->remoteLock); }  // the last resumeFiber has let go
    if (worker->wakeReceiver != INVALID_SOCKET) closesocket(worker->wakeReceiver);
    if (worker->wakeSender != INVALID_SOCKET) closesocket(worker->wakeSender);
    if (worker->winsockStarted) WSACleanup();
    delete worker;
}

void runFiberWorker(FiberWorker& worker, FiberRefill refill, void* owner) {
    worker.threadFiber = ConvertThreadToFiberEx(nullptr, FIBER_FLAG_FLOAT_SWITCH);
    const bool converted = worker.threadFiber != nullptr;
    if (!converted) worker.threadFiber = currentFiber();  // already a fiber
    t_worker = &worker;
    for (;;) {
        const bool more = refill(worker, owner);
        if (!more && worker.liveFibers == 0) break;
        runReadyFibers(worker);
        if (worker.ready.empty()) {
            // Parked before the last look at the queue, so a submit racing with
            // it either is seen here or wakes the wait below.
            worker.parked.store(true);
            if (!refill(worker, owner) && worker.liveFibers == 0) break;
        }
        pollAndWake(worker, worker.ready.empty());
    }
    t_worker = nullptr;
    if (converted) ConvertFiberToThread();
}

bool spawnFiber(FiberWorker& worker, void (*task)(void*), void* argument) {
    Fiber* fiber = nullptr;
    if (!worker.spareFibers.empty()) {
        fiber = worker.spareFibers.back();
        worker.spareFibers.pop_back();
    } else {
        fiber = new (std::nothrow) Fiber;
        if (fiber == nullptr) return false;
        fiber->handle =
            CreateFiberEx(0, kFiberStackReserveBytes, FIBER_FLAG_FLOAT_SWITCH, fiberMain, fiber);
        if (fiber->handle == nullptr) {
            delete fiber;
            return false;
        }
    }
    fiber->worker = &worker;
    fiber->task = task;
    fiber->taskArgument = argument;
    fiber->ended = false;
    ++worker.liveFibers;
    // New clients go first. A connect costs several round trips to the
    // system here, so clients started behind thousands of running ones would
    // open their connections seconds late.
    worker.ready.push_front(fiber);
    return true;
}

// Large batches, for the same reason new clients go first.
std::size_t runsTakenPerRefill() {
    return kMostRunsPerRefill;
}

// Socket calls and polls here wait on the system for much of their time, not
// on the processor, so a few workers per processor keep more of them under way.
std::size_t fiberWorkersFor(std::size_t processors) {
    return processors * kWorkersPerProcessor;
}

std::size_t liveFiberCount(const FiberWorker& worker) {
    return worker.liveFibers;
}

void wakeFiberWorker(FiberWorker& worker) {
    if (worker.parked.exchange(false)) signalWakeSocket(worker);
}

bool onFiber() {
    return t_fiber != nullptr;
}

WaitResult waitOnFiber(SOCKET socket, SocketWait direction, int timeoutMs) {
    if (timeoutMs <= 0) return WaitResult::TimedOut;
    FiberWorker& worker = *t_worker;
    Fiber* fiber = t_fiber;
    fiber->waitSocket = socket;
    fiber->waitEvents = direction == SocketWait::Readable ? POLLRDNORM : POLLWRNORM;
    fiber->waitBeganNs = nowNs();
    fiber->waitDeadlineNs = fiber->waitBeganNs + static_cast<std::int64_t>(timeoutMs) * kNsPerMs;
    fiber->waiterIndex = worker.socketWaiters.size();
    worker.socketWaiters.push_back(fiber);
    parkRunningFiber();
    return fiber->waitResult;
}

void sleepOnFiber(std::int64_t durationNs) {
    FiberWorker& worker = *t_worker;
    worker.timers.push(TimerEntry{nowNs() + durationNs, t_fiber});
    parkRunningFiber();
}

// Nothing is registered per socket on Windows.
void forgetFiberSocket(SOCKET /*socket*/) {}

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
    // be destroyed, which takes the lock before closing the sockets.
    std::lock_guard guard(worker.remoteLock);
    worker.remoteReady.push_back(fiber);
    // Unconditional: the worker may be running and about to block in WSAPoll.
    signalWakeSocket(worker);
}
