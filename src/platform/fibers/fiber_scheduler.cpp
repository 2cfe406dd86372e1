// One fiber loop per pool worker thread, the same on every system; what it
// waits on is its poller (fiber_poller.h) and how it enters a fiber is the
// fiber switch (fiber_switch.h).
//
// A fiber runs until it waits on a socket, sleeps or ends; the loop then runs
// the next ready fiber, and when none is ready it blocks in its poller until a
// socket, a completion, a timer or a wake-up makes one ready. Socket deadlines
// only bound waits that have already gone wrong, so they are checked by a
// coarse sweep; sleeps pace the requests and get a precise timer each.
#include "platform/fibers/fiber_scheduler.h"

#include <algorithm>
#include <deque>
#include <mutex>
#include <new>
#include <queue>
#include <vector>

#include "platform/fibers/fiber_policy.h"
#include "platform/fibers/fiber_poller.h"
#include "platform/fibers/fiber_switch.h"

namespace {

constexpr std::int64_t kDeadlineSweepNs = 20'000'000;  // how late a socket deadline may fire

}  // namespace

struct Fiber {
    SwitchFiber* context = nullptr;             // its stack and saved registers
    FiberWorker* worker = nullptr;              // the worker it belongs to for life
    void (*task)(void*) = nullptr;              // what it runs
    void* taskArgument = nullptr;               // task's argument
    bool ended = false;                         // task has returned; the fiber can be reused
    FiberSocketWait wait;                       // its socket wait while parked on one
    std::int64_t waitBeganNs = 0;               // monotonic instant its socket wait began
    std::int64_t readySinceNs = 0;              // since when its last Ready socket may be ready
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
    SwitchThread* thread = nullptr;       // the worker thread's own context and fiber stacks
    const FiberPoller* poller = nullptr;  // what it waits on
    PollerState* pollerState = nullptr;   // the poller's own record
    std::atomic<bool> parked{false};      // blocked in its poller with nothing to run
    std::deque<Fiber*> ready;             // fibers that can run, in order
    std::vector<Fiber*> socketWaiters;    // fibers parked on a socket
    std::priority_queue<TimerEntry, std::vector<TimerEntry>, std::greater<TimerEntry>> timers;
    std::vector<Fiber*> spareFibers;    // ended fibers with their stacks, kept for reuse
    std::mutex remoteLock;              // guards remoteReady, filled by other threads
    std::vector<Fiber*> remoteReady;    // fibers resumed by other threads, not yet queued
    std::size_t liveFibers = 0;         // fibers spawned and not yet ended
    std::int64_t nextSweepNs = 0;       // when socket deadlines are checked next
    std::int64_t polledNs = 0;          // when the last poll returned
    std::int64_t pollReadySinceNs = 0;  // earliest its last poll's events may have arisen
    std::vector<Fiber*> undated;        // made ready by the poll under way, not yet dated
};

void finishSocketWait(FiberWorker& worker, Fiber* fiber, WaitResult result) {
    Fiber* last = worker.socketWaiters.back();
    last->wait.waiterIndex = fiber->wait.waiterIndex;
    worker.socketWaiters[fiber->wait.waiterIndex] = last;
    worker.socketWaiters.pop_back();
    fiber->wait.socket = INVALID_SOCKET;
    fiber->wait.pollerSlot = nullptr;
    fiber->waitResult = result;
    // Dated once the poll that saw it has returned (see pollAndWake).
    if (result == WaitResult::Ready) worker.undated.push_back(fiber);
    worker.ready.push_back(fiber);
}

void makeFiberReady(FiberWorker& worker, Fiber* fiber) {
    worker.ready.push_back(fiber);
}

void takeRemoteReady(FiberWorker& worker) {
    std::lock_guard guard(worker.remoteLock);
    for (Fiber* fiber : worker.remoteReady) worker.ready.push_back(fiber);
    worker.remoteReady.clear();
}

void parkRunningFiber() {
    Fiber* fiber = t_fiber;
    leaveSwitchFiber(*fiber->context, *fiber->worker->thread, false);
}

std::size_t socketWaiterCount(const FiberWorker& worker) {
    return worker.socketWaiters.size();
}

Fiber* socketWaiterAt(const FiberWorker& worker, std::size_t index) {
    return worker.socketWaiters[index];
}

FiberSocketWait& socketWaitOf(Fiber* fiber) {
    return fiber->wait;
}

namespace {

// Each run ends by leaving with finishing set; on reuse the fiber comes back
// here (or, on systems that restart it, at the top) for the next run.
void fiberMain(void* argument) {
    auto* fiber = static_cast<Fiber*>(argument);
    for (;;) {
        fiber->task(fiber->taskArgument);
        fiber->ended = true;
        leaveSwitchFiber(*fiber->context, *fiber->worker->thread, true);
    }
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
        enterSwitchFiber(*worker.thread, *fiber->context);
        t_fiber = nullptr;
        if (fiber->ended) recycle(worker, fiber);
    }
}

std::int64_t nextWakeNs(const FiberWorker& worker) {
    std::int64_t wakeNs = INT64_MAX;
    if (!worker.timers.empty()) wakeNs = worker.timers.top().wakeNs;
    if (!worker.socketWaiters.empty() && worker.nextSweepNs < wakeNs) wakeNs = worker.nextSweepNs;
    return wakeNs;
}

// A socket wait times out only once a poll that returned at or after its
// deadline has not found the socket ready, whenever the sweep comes round.
void wakeDueFibers(FiberWorker& worker, std::int64_t now) {
    while (!worker.timers.empty() && worker.timers.top().wakeNs <= now) {
        worker.ready.push_back(worker.timers.top().sleeper);
        worker.timers.pop();
    }
    if (worker.socketWaiters.empty() || now < worker.nextSweepNs) return;
    worker.nextSweepNs = now + kDeadlineSweepNs;
    for (std::size_t index = worker.socketWaiters.size(); index > 0; --index) {
        Fiber* fiber = worker.socketWaiters[index - 1];
        if (fiber->wait.deadlineNs > worker.polledNs) continue;
        worker.poller->abandonWait(worker.pollerState, fiber->wait);
        finishSocketWait(worker, fiber, WaitResult::TimedOut);
    }
}

// Events that woke a blocked poll arose just before it returned; events a
// poll found waiting arose while the loop ran fibers, so they are dated from
// the loop's previous poll: a busy loop must not make a socket late.
void notePollInstants(FiberWorker& worker, std::int64_t beganNs) {
    const std::int64_t returnedNs = monotonicNowNs();
    worker.pollReadySinceNs =
        returnedNs - beganNs < pollReturnedAtOnceNs() ? worker.polledNs : returnedNs;
    worker.polledNs = returnedNs;
}

// The poller hands each readiness it sees to finishSocketWait while it polls;
// those waits are dated once the poll's return instant is known.
void pollAndWake(FiberWorker& worker, bool mayBlock) {
    const std::int64_t beganNs = monotonicNowNs();
    worker.poller->poll(worker.pollerState, mayBlock ? nextWakeNs(worker) : 0, mayBlock);
    notePollInstants(worker, beganNs);
    for (Fiber* fiber : worker.undated) {
        fiber->readySinceNs = std::max(fiber->waitBeganNs, worker.pollReadySinceNs);
    }
    worker.undated.clear();
    worker.parked.store(false);
    wakeDueFibers(worker, worker.polledNs);
}

}  // namespace

FiberWorker* createFiberWorker() {
    auto* worker = new (std::nothrow) FiberWorker;
    if (worker == nullptr) return nullptr;
    worker->poller = &chosenPoller();
    worker->thread = createSwitchThread();
    if (worker->thread != nullptr) worker->pollerState = worker->poller->create(*worker);
    if (worker->pollerState == nullptr) {
        destroyFiberWorker(worker);
        return nullptr;
    }
    return worker;
}

void destroyFiberWorker(FiberWorker* worker) {
    for (Fiber* fiber : worker->spareFibers) {
        destroySwitchFiber(fiber->context);
        delete fiber;
    }
    { std::lock_guard guard(worker->remoteLock); }  // the last resumeFiber has let go
    if (worker->pollerState != nullptr) worker->poller->destroy(worker->pollerState);
    if (worker->thread != nullptr) destroySwitchThread(worker->thread);
    delete worker;
}

void runFiberWorker(FiberWorker& worker, FiberRefill refill, void* owner) {
    // A worker the system will not let run takes no callbacks; the pool's
    // other workers, or its retries, take them.
    if (!enterSwitchThread(*worker.thread) || !worker.poller->attach(worker.pollerState)) return;
    t_worker = &worker;
    for (;;) {
        const bool more = refill(worker, owner);
        if (!more && worker.liveFibers == 0) break;
        runReadyFibers(worker);
        if (worker.ready.empty()) {
            // Parked before the last look at the queue, so a submit racing with
            // it either is seen here or wakes the poller's wait below.
            worker.parked.store(true);
            if (!refill(worker, owner) && worker.liveFibers == 0) break;
        }
        pollAndWake(worker, worker.ready.empty());
    }
    t_worker = nullptr;
    leaveSwitchThread(*worker.thread);
}

bool spawnFiber(FiberWorker& worker, void (*task)(void*), void* argument) {
    Fiber* fiber = nullptr;
    if (!worker.spareFibers.empty()) {
        fiber = worker.spareFibers.back();
        worker.spareFibers.pop_back();
        reuseSwitchFiber(*fiber->context, fiberMain, fiber);
    } else {
        fiber = new (std::nothrow) Fiber;
        if (fiber == nullptr) return false;
        fiber->context = createSwitchFiber(*worker.thread, fiberMain, fiber);
        if (fiber->context == nullptr) {
            delete fiber;
            return false;
        }
    }
    fiber->worker = &worker;
    fiber->task = task;
    fiber->taskArgument = argument;
    fiber->ended = false;
    ++worker.liveFibers;
    if (newFibersFirst()) {
        worker.ready.push_front(fiber);
    } else {
        worker.ready.push_back(fiber);
    }
    return true;
}

std::size_t liveFiberCount(const FiberWorker& worker) {
    return worker.liveFibers;
}

void wakeFiberWorker(FiberWorker& worker) {
    if (worker.parked.exchange(false)) worker.poller->wake(worker.pollerState);
}

bool onFiber() {
    return t_fiber != nullptr;
}

WaitResult waitOnFiber(SOCKET socket, SocketWait direction, int timeoutMs) {
    FiberWorker& worker = *t_worker;
    Fiber* fiber = t_fiber;
    FiberSocketWait& wait = fiber->wait;
    wait.socket = socket;
    wait.direction = direction;
    wait.pollerSlot = nullptr;
    fiber->waitBeganNs = monotonicNowNs();
    wait.deadlineNs = fiber->waitBeganNs + static_cast<std::int64_t>(timeoutMs) * kNsPerMs;
    // Listed before the poller sees it, so that a poller may finish it at once.
    wait.waiterIndex = worker.socketWaiters.size();
    worker.socketWaiters.push_back(fiber);
    const WaitStart start = worker.poller->beginWait(worker.pollerState, fiber, wait);
    if (start == WaitStart::Parked && timeoutMs > 0) {
        parkRunningFiber();
        return fiber->waitResult;
    }
    // Ready at once, refused, or a wait of no time that found nothing.
    if (start == WaitStart::Parked) worker.poller->abandonWait(worker.pollerState, wait);
    worker.socketWaiters.pop_back();
    wait.socket = INVALID_SOCKET;
    if (start == WaitStart::Ready) {
        fiber->readySinceNs = fiber->waitBeganNs;
        return WaitResult::Ready;
    }
    return start == WaitStart::Failed ? WaitResult::Failed : WaitResult::TimedOut;
}

void sleepOnFiber(std::int64_t durationNs) {
    FiberWorker& worker = *t_worker;
    worker.timers.push(TimerEntry{monotonicNowNs() + durationNs, t_fiber});
    parkRunningFiber();
}

void forgetFiberSocket(SOCKET socket) {
    if (t_worker == nullptr || socket == INVALID_SOCKET) return;
    t_worker->poller->forgetSocket(t_worker->pollerState, socket);
}

bool submitOnFiber(const SocketOperation& operation, long& result) {
    if (t_fiber == nullptr || t_worker->poller->submit == nullptr) return false;
    return t_worker->poller->submit(t_worker->pollerState, t_fiber, operation, result);
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
    // be destroyed, which takes the lock before its poller goes.
    std::lock_guard guard(worker.remoteLock);
    worker.remoteReady.push_back(fiber);
    // Unconditional: the worker may be running and about to block in its poller.
    worker.poller->wake(worker.pollerState);
}
