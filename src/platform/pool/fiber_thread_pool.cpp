// The Windows thread pool, for exactly the uses velkor makes of it: private
// pools, work objects and cleanup groups. Built on every system: on Windows it
// stands in for the system pool under other names (pool_names_windows.h).
//
// A pool runs its callbacks as fibers on a few worker threads per processor
// (fiberWorkersFor, fiber_scheduler.h): a callback that waits on a socket or sleeps parks its
// fiber, so ten thousand clients run at once without ten thousand threads,
// their stacks and their context switches. The system pool on Windows would
// need a thread per running client, about 1 MiB each. The pool's maximum caps
// the callbacks running at once, as the system pool's does.
//
// One process-wide lock guards every pool, work and group. A client takes it
// a handful of times in its life while its callback spends seconds on sockets,
// so the lock is never contended enough to matter, and a single lock leaves
// no lock order to get wrong.
//
// When a worker thread cannot be started, the runs stay queued for the workers
// there are; starting one is retried on every submit and, while a cleanup group
// waits, every 100 ms, so a pool left with no worker at all is not stuck for good.
#include "platform/pool/pool_api.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <vector>

#include "platform/fibers/fiber_poller.h"
#include "platform/fibers/fiber_scheduler.h"

// The handles given out are these records, cast.
struct PoolState;
struct GroupState;

struct WorkState {
    PTP_WORK_CALLBACK callback;  // what each run calls
    PVOID context;               // the caller's argument to the callback
    PoolState* pool;             // pool whose workers run it
    GroupState* group;           // group it belongs to, or null
    WorkState* nextQueued;       // next work in the pool's queue while this one is queued
    std::size_t queuedRuns;      // submits whose callback has not started yet
    std::size_t runningRuns;     // callbacks running now
    bool closed;                 // CloseThreadpoolWork was called; released once idle
};

struct PoolWorker {
    std::thread thread;      // the thread running the scheduler
    FiberWorker* scheduler;  // its fibers, sockets and timers
};

struct PoolState {
    WorkState* queueHead;             // oldest work with queued runs, or null
    WorkState* queueTail;             // newest work with queued runs, or null
    std::size_t queuedRuns;           // runs waiting in the queue, over all works
    std::size_t runningCallbacks;     // callbacks started and not yet returned
    std::size_t maxCallbacks;         // most callbacks that may run at once
    std::size_t processors;           // logical processors online when the pool was made
    std::vector<PoolWorker> workers;  // every worker started, joined on close
    bool closing;                     // CloseThreadpool was called; workers drain and exit
};

struct GroupState {
    std::condition_variable allDone;         // signalled when pendingRuns drops to 0
    std::unordered_set<WorkState*> members;  // works not yet released
    std::size_t pendingRuns;                 // members' runs queued or running
};

namespace {

constexpr std::size_t kDefaultMaxCallbacks = 512;  // the Windows default
constexpr std::size_t kFairShareSlack = 64;        // fibers a worker may hold beyond the average
constexpr auto kGroupRetryInterval = std::chrono::milliseconds(100);

std::mutex poolLock;

std::size_t processorCount() {
    SYSTEM_INFO info{};
    GetNativeSystemInfo(&info);
    return fiberWorkersFor(info.dwNumberOfProcessors > 0 ? info.dwNumberOfProcessors : 1);
}

std::size_t workerTarget(const PoolState* pool) {
    return pool->processors < pool->maxCallbacks ? pool->processors : pool->maxCallbacks;
}

bool canStartRun(const PoolState* pool) {
    return pool->queueHead != nullptr && pool->runningCallbacks < pool->maxCallbacks;
}

void appendToQueue(PoolState* pool, WorkState* work) {
    work->nextQueued = nullptr;
    if (pool->queueTail != nullptr) {
        pool->queueTail->nextQueued = work;
    } else {
        pool->queueHead = work;
    }
    pool->queueTail = work;
}

// Takes one run off the queue head. A work submitted again goes to the back, so
// repeated submits cannot starve other works.
WorkState* takeQueuedRun(PoolState* pool) {
    WorkState* work = pool->queueHead;
    pool->queueHead = work->nextQueued;
    if (pool->queueHead == nullptr) pool->queueTail = nullptr;
    --work->queuedRuns;
    --pool->queuedRuns;
    if (work->queuedRuns > 0) appendToQueue(pool, work);
    return work;
}

// Puts back a run that could not be started, at the front: it was next.
void returnQueuedRun(PoolState* pool, WorkState* work) {
    if (work->queuedRuns++ == 0) {
        work->nextQueued = pool->queueHead;
        pool->queueHead = work;
        if (pool->queueTail == nullptr) pool->queueTail = work;
    }
    ++pool->queuedRuns;
}

void releaseWork(WorkState* work) {
    if (work->group != nullptr) work->group->members.erase(work);
    delete work;
}

void wakeAllWorkers(PoolState* pool) {
    for (PoolWorker& worker : pool->workers) wakeFiberWorker(*worker.scheduler);
}

// Accounts for a finished callback and releases the work if it was closed meanwhile.
void finishRun(PoolState* pool, WorkState* work) {
    --pool->runningCallbacks;
    --work->runningRuns;
    GroupState* group = work->group;
    if (work->closed && work->runningRuns == 0 && work->queuedRuns == 0) releaseWork(work);
    if (group != nullptr && --group->pendingRuns == 0) group->allDone.notify_all();
    // The slot freed here may belong to a worker with fewer fibers than this one.
    if (pool->queuedRuns > 0) wakeAllWorkers(pool);
}

// The body of each fiber.
void runCallback(void* argument) {
    auto* work = static_cast<WorkState*>(argument);
    PoolState* pool = work->pool;
    // No callback instance is passed: velkor's callbacks never use one. The
    // callback may close its own work; finishRun releases it afterwards.
    work->callback(nullptr, work->context, reinterpret_cast<PTP_WORK>(work));
    std::lock_guard guard(poolLock);
    finishRun(pool, work);
}

// Takes the runs this worker will start, counted as running already. A worker
// takes runs while it holds no more than its share of them, so the clients
// spread evenly over the processors.
std::size_t takeShare(PoolState* pool, const FiberWorker& worker, WorkState** taken) {
    const std::size_t live = liveFiberCount(worker);
    std::size_t count = 0;
    const std::size_t most = runsTakenPerRefill();
    while (count < most && canStartRun(pool)) {
        // Its share of every run started or waiting, so a burst of submits is
        // split at once instead of a slack's worth per pass.
        const std::size_t share = pool->runningCallbacks + pool->queuedRuns + kFairShareSlack;
        if ((live + count) * pool->workers.size() > share) break;
        WorkState* work = takeQueuedRun(pool);
        ++work->runningRuns;
        ++pool->runningCallbacks;
        taken[count++] = work;
    }
    return count;
}

// Puts back, in their order, the runs whose fiber could not be made.
void returnUnstarted(PoolState* pool, WorkState** taken, std::size_t count) {
    std::lock_guard guard(poolLock);
    for (std::size_t index = count; index > 0; --index) {
        WorkState* work = taken[index - 1];
        --work->runningRuns;
        --pool->runningCallbacks;
        returnQueuedRun(pool, work);
    }
}

bool refillWorker(FiberWorker& worker, void* owner) {
    auto* pool = static_cast<PoolState*>(owner);
    static thread_local WorkState* taken[kMostRunsPerRefill];
    std::size_t count = 0;
    bool more = true;
    {
        std::lock_guard guard(poolLock);
        count = takeShare(pool, worker, taken);
        more = !pool->closing || pool->queuedRuns > 0 || count > 0;
    }
    // Stacks are mapped outside the lock, where they hold up no submit.
    for (std::size_t index = 0; index < count; ++index) {
        if (!spawnFiber(worker, runCallback, taken[index])) {
            // Out of memory for a stack: the rest wait for the next round.
            returnUnstarted(pool, taken + index, count - index);
            break;
        }
    }
    return more;
}

bool startWorker(PoolState* pool) {
    try {
        pool->workers.reserve(pool->workers.size() + 1);
    } catch (const std::bad_alloc&) {
        return false;
    }
    FiberWorker* scheduler = createFiberWorker();
    if (scheduler == nullptr) return false;
    std::thread thread;
    try {
        thread = std::thread(runFiberWorker, std::ref(*scheduler), refillWorker, pool);
    } catch (const std::system_error&) {
        destroyFiberWorker(scheduler);
        return false;
    }
    // Cannot throw: room was reserved, and moving a thread cannot fail.
    pool->workers.push_back(PoolWorker{std::move(thread), scheduler});
    return true;
}

// Starts the workers the pool may have while runs wait. Called with the lock held.
void startWorkersForBacklog(PoolState* pool) {
    if (pool->closing || pool->queuedRuns == 0) return;  // CloseThreadpool joins the list
    while (pool->workers.size() < workerTarget(pool)) {
        if (!startWorker(pool)) return;  // out of threads: the backlog waits for a worker
    }
}

// Retries starting workers for the members' queued runs, in case none could be started.
void retryWorkersFor(GroupState* group) {
    PoolState* lastPool = nullptr;
    for (WorkState* work : group->members) {
        if (work->queuedRuns == 0 || work->pool == lastPool) continue;
        lastPool = work->pool;
        startWorkersForBacklog(lastPool);
    }
}

// Waits for every run of the members, then releases the members still open.
void closeMembersLocked(GroupState* group, std::unique_lock<std::mutex>& lock) {
    while (group->pendingRuns > 0) {
        if (group->allDone.wait_for(lock, kGroupRetryInterval) == std::cv_status::timeout) {
            retryWorkersFor(group);
        }
    }
    for (WorkState* work : group->members) delete work;
    group->members.clear();
}

WorkState* workOf(PTP_WORK handle) {
    return reinterpret_cast<WorkState*>(handle);
}

PoolState* poolOf(PTP_POOL handle) {
    return reinterpret_cast<PoolState*>(handle);
}

GroupState* groupOf(PTP_CLEANUP_GROUP handle) {
    return reinterpret_cast<GroupState*>(handle);
}

}  // namespace

PTP_POOL CreateThreadpool(PVOID /*reserved*/) {
    auto* pool = new (std::nothrow) PoolState{};
    if (pool == nullptr) return nullptr;
    pool->maxCallbacks = kDefaultMaxCallbacks;
    // Chosen here, on the thread that makes the pool, before any worker runs:
    // a VELKOR_POLLER that cannot be honoured ends the process before the run.
    chosenPoller();
    // Read once: the count may come from a file, and submits ask for it under the lock.
    pool->processors = processorCount();
    return reinterpret_cast<PTP_POOL>(pool);
}

void SetThreadpoolThreadMaximum(PTP_POOL handle, DWORD maximumThreads) {
    std::lock_guard guard(poolLock);
    PoolState* pool = poolOf(handle);
    pool->maxCallbacks = maximumThreads > 0 ? maximumThreads : 1;
    wakeAllWorkers(pool);  // a higher maximum may let waiting runs start
    startWorkersForBacklog(pool);
}

// Workers are started on demand, so a minimum needs no threads up front.
BOOL SetThreadpoolThreadMinimum(PTP_POOL /*pool*/, DWORD /*minimumThreads*/) {
    return TRUE;
}

// Runs still queued are finished first. Must not be called from a callback of
// this pool, and its works must be closed by then (velkor closes its cleanup
// group's members first).
void CloseThreadpool(PTP_POOL handle) {
    PoolState* pool = poolOf(handle);
    {
        std::lock_guard guard(poolLock);
        pool->closing = true;
        wakeAllWorkers(pool);
    }
    // No worker is added once closing is set, so the list is stable without the lock.
    for (PoolWorker& worker : pool->workers) worker.thread.join();
    for (PoolWorker& worker : pool->workers) destroyFiberWorker(worker.scheduler);
    delete pool;
}

PTP_CLEANUP_GROUP CreateThreadpoolCleanupGroup() {
    return reinterpret_cast<PTP_CLEANUP_GROUP>(new (std::nothrow) GroupState{});
}

// Cancelling is not offered: velkor lets every callback run, so every queued
// run still runs before this returns, whatever cancelPendingCallbacks says.
void CloseThreadpoolCleanupGroupMembers(PTP_CLEANUP_GROUP group, BOOL /*cancelPendingCallbacks*/,
                                        PVOID /*cleanupContext*/) {
    std::unique_lock lock(poolLock);
    closeMembersLocked(groupOf(group), lock);
}

void CloseThreadpoolCleanupGroup(PTP_CLEANUP_GROUP group) {
    {
        std::unique_lock lock(poolLock);
        closeMembersLocked(groupOf(group), lock);
    }
    delete groupOf(group);
}

// Fails (returns null, errno EINVAL) without a pool: velkor always names its own.
PTP_WORK CreateThreadpoolWork(PTP_WORK_CALLBACK callback, PVOID context,
                              PTP_CALLBACK_ENVIRON environment) {
    if (callback == nullptr || environment == nullptr || environment->Pool == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    auto* work = new (std::nothrow) WorkState{callback,
                                              context,
                                              poolOf(environment->Pool),
                                              groupOf(environment->CleanupGroup),
                                              nullptr,
                                              0,
                                              0,
                                              false};
    if (work == nullptr || work->group == nullptr) return reinterpret_cast<PTP_WORK>(work);
    std::lock_guard guard(poolLock);
    try {
        work->group->members.insert(work);
    } catch (const std::bad_alloc&) {
        delete work;
        errno = ENOMEM;
        return nullptr;
    }
    return reinterpret_cast<PTP_WORK>(work);
}

void SubmitThreadpoolWork(PTP_WORK handle) {
    std::lock_guard guard(poolLock);
    WorkState* work = workOf(handle);
    PoolState* pool = work->pool;
    if (work->queuedRuns++ == 0) appendToQueue(pool, work);
    ++pool->queuedRuns;
    if (work->group != nullptr) ++work->group->pendingRuns;
    wakeAllWorkers(pool);
    startWorkersForBacklog(pool);
}

// A work still queued or running is released when its last run finishes, so a
// callback may close its own work as its last action.
void CloseThreadpoolWork(PTP_WORK handle) {
    std::lock_guard guard(poolLock);
    WorkState* work = workOf(handle);
    work->closed = true;
    if (work->queuedRuns == 0 && work->runningRuns == 0) releaseWork(work);
}
