// The Windows thread pool on POSIX: private pools of pthread workers, work
// objects and cleanup groups, for exactly the uses velkor makes of them.
//
// One process-wide lock guards every pool, work and group. A client takes it
// a handful of times in its life while its callback spends seconds on sockets,
// so the lock is never contended enough to matter, and a single lock leaves
// no lock order to get wrong.
//
// A worker is started whenever queued runs outnumber the idle workers and the
// pool is below its maximum. When pthread_create fails, the run stays queued
// for the next worker that comes free; starting a worker is retried on every
// submit, every dequeue, every change of the maximum and, while a cleanup group
// waits, every 100 ms, so a pool left with no worker at all is not stuck for good.
#include "platform/platform.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <new>
#include <unordered_set>
#include <vector>

struct TP_WORK {
    PTP_WORK_CALLBACK callback;  // what each run calls
    PVOID context;               // the caller's argument to the callback
    PTP_POOL pool;               // pool whose workers run it
    PTP_CLEANUP_GROUP group;     // group it belongs to, or null
    PTP_WORK nextQueued;         // next work in the pool's queue while this one is queued
    std::size_t queuedRuns;      // submits whose callback has not started yet
    std::size_t runningRuns;     // callbacks running now
    bool closed;                 // CloseThreadpoolWork was called; released once idle
};

struct TP_POOL {
    std::condition_variable workReady;  // wakes idle workers for a run or the closing
    PTP_WORK queueHead;                 // oldest work with queued runs, or null
    PTP_WORK queueTail;                 // newest work with queued runs, or null
    std::size_t queuedRuns;             // runs waiting in the queue, over all works
    std::size_t idleWorkers;            // workers not running a callback
    std::size_t busyWorkers;            // workers running a callback
    std::size_t maxWorkers;             // most callbacks that may run at once
    std::vector<pthread_t> workers;     // every worker started, joined on close
    bool closing;                       // CloseThreadpool was called; workers drain and exit
};

struct TP_CLEANUP_GROUP {
    std::condition_variable allDone;       // signalled when pendingRuns drops to 0
    std::unordered_set<PTP_WORK> members;  // works not yet released
    std::size_t pendingRuns;               // members' runs queued or running
};

namespace {

constexpr std::size_t kDefaultMaxWorkers = 512;  // the Windows default
// A callback needs little beyond its 4 KiB buffer and getaddrinfo; small stacks
// let ten thousand workers fit in memory.
constexpr std::size_t kWorkerStackBytes = 256 * 1024;
constexpr auto kGroupRetryInterval = std::chrono::milliseconds(100);

std::mutex poolLock;

bool canStartRun(const TP_POOL* pool) {
    return pool->queueHead != nullptr && pool->busyWorkers < pool->maxWorkers;
}

void appendToQueue(PTP_POOL pool, PTP_WORK work) {
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
PTP_WORK takeQueuedRun(PTP_POOL pool) {
    PTP_WORK work = pool->queueHead;
    pool->queueHead = work->nextQueued;
    if (pool->queueHead == nullptr) pool->queueTail = nullptr;
    --work->queuedRuns;
    --pool->queuedRuns;
    ++work->runningRuns;
    if (work->queuedRuns > 0) appendToQueue(pool, work);
    --pool->idleWorkers;
    ++pool->busyWorkers;
    return work;
}

void releaseWork(PTP_WORK work) {
    if (work->group != nullptr) work->group->members.erase(work);
    delete work;
}

void* workerMain(void* argument);

bool startWorker(PTP_POOL pool) {
    try {
        pool->workers.reserve(pool->workers.size() + 1);
    } catch (const std::bad_alloc&) {
        return false;
    }
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return false;
    pthread_attr_setstacksize(&attributes, kWorkerStackBytes);
    pthread_t thread;
    const int error = pthread_create(&thread, &attributes, workerMain, pool);
    pthread_attr_destroy(&attributes);
    if (error != 0) return false;
    pool->workers.push_back(thread);  // cannot throw: the room was reserved
    ++pool->idleWorkers;              // a new worker goes straight to the queue
    return true;
}

// Starts workers for runs that no idle worker will pick up. Called with the lock held.
void startWorkersForBacklog(PTP_POOL pool) {
    if (pool->closing) return;  // CloseThreadpool is joining the worker list
    while (pool->workers.size() < pool->maxWorkers && pool->queuedRuns > pool->idleWorkers) {
        if (!startWorker(pool)) return;  // out of threads: the backlog waits for a free worker
    }
}

// Accounts for a finished callback and releases the work if it was closed meanwhile.
void finishRun(PTP_POOL pool, PTP_WORK work) {
    --pool->busyWorkers;
    ++pool->idleWorkers;
    --work->runningRuns;
    PTP_CLEANUP_GROUP group = work->group;
    if (work->closed && work->runningRuns == 0 && work->queuedRuns == 0) releaseWork(work);
    if (group != nullptr && --group->pendingRuns == 0) group->allDone.notify_all();
}

void* workerMain(void* argument) {
    auto* pool = static_cast<PTP_POOL>(argument);
    std::unique_lock lock(poolLock);
    for (;;) {
        pool->workReady.wait(lock, [pool] { return pool->closing || canStartRun(pool); });
        if (!canStartRun(pool)) break;  // closing, and the busy workers drain the rest
        PTP_WORK work = takeQueuedRun(pool);
        startWorkersForBacklog(pool);
        lock.unlock();
        // No callback instance is passed: velkor's callbacks never use one. The
        // callback may close its own work; finishRun releases it afterwards.
        work->callback(nullptr, work->context, work);
        lock.lock();
        finishRun(pool, work);
    }
    return nullptr;
}

// Retries starting workers for the members' queued runs, in case none could be started.
void retryWorkersFor(PTP_CLEANUP_GROUP group) {
    PTP_POOL lastPool = nullptr;
    for (PTP_WORK work : group->members) {
        if (work->queuedRuns == 0 || work->pool == lastPool) continue;
        lastPool = work->pool;
        startWorkersForBacklog(lastPool);
    }
}

// Waits for every run of the members, then releases the members still open.
void closeMembersLocked(PTP_CLEANUP_GROUP group, std::unique_lock<std::mutex>& lock) {
    while (group->pendingRuns > 0) {
        if (group->allDone.wait_for(lock, kGroupRetryInterval) == std::cv_status::timeout) {
            retryWorkersFor(group);
        }
    }
    for (PTP_WORK work : group->members) delete work;
    group->members.clear();
}

}  // namespace

PTP_POOL CreateThreadpool(PVOID /*reserved*/) {
    auto* pool = new (std::nothrow) TP_POOL{};
    if (pool != nullptr) pool->maxWorkers = kDefaultMaxWorkers;
    return pool;
}

void SetThreadpoolThreadMaximum(PTP_POOL pool, DWORD maximumThreads) {
    std::lock_guard guard(poolLock);
    pool->maxWorkers = maximumThreads > 0 ? maximumThreads : 1;
    pool->workReady.notify_all();  // a higher maximum may let waiting runs start
    startWorkersForBacklog(pool);
}

// Workers are started on demand, so a minimum needs no threads up front.
BOOL SetThreadpoolThreadMinimum(PTP_POOL /*pool*/, DWORD /*minimumThreads*/) {
    return TRUE;
}

// Runs still queued are finished first. Must not be called from a callback of
// this pool, and its works must be closed by then (velkor closes its cleanup
// group's members first).
void CloseThreadpool(PTP_POOL pool) {
    {
        std::lock_guard guard(poolLock);
        pool->closing = true;
        pool->workReady.notify_all();
    }
    // No worker is added once closing is set, so the list is stable without the lock.
    for (pthread_t worker : pool->workers) pthread_join(worker, nullptr);
    delete pool;
}

PTP_CLEANUP_GROUP CreateThreadpoolCleanupGroup() {
    return new (std::nothrow) TP_CLEANUP_GROUP{};
}

// Cancelling is not offered: velkor lets every callback run, so every queued
// run still runs before this returns, whatever cancelPendingCallbacks says.
void CloseThreadpoolCleanupGroupMembers(PTP_CLEANUP_GROUP group, BOOL /*cancelPendingCallbacks*/,
                                        PVOID /*cleanupContext*/) {
    std::unique_lock lock(poolLock);
    closeMembersLocked(group, lock);
}

void CloseThreadpoolCleanupGroup(PTP_CLEANUP_GROUP group) {
    {
        std::unique_lock lock(poolLock);
        closeMembersLocked(group, lock);
    }
    delete group;
}

// Fails (returns null, errno EINVAL) without a pool: velkor always names its own.
PTP_WORK CreateThreadpoolWork(PTP_WORK_CALLBACK callback, PVOID context,
                              PTP_CALLBACK_ENVIRON environment) {
    if (callback == nullptr || environment == nullptr || environment->Pool == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    auto* work = new (std::nothrow) TP_WORK{
        callback, context, environment->Pool, environment->CleanupGroup, nullptr, 0, 0, false};
    if (work == nullptr || work->group == nullptr) return work;
    std::lock_guard guard(poolLock);
    try {
        work->group->members.insert(work);
    } catch (const std::bad_alloc&) {
        delete work;
        errno = ENOMEM;
        return nullptr;
    }
    return work;
}

void SubmitThreadpoolWork(PTP_WORK work) {
    std::lock_guard guard(poolLock);
    PTP_POOL pool = work->pool;
    if (work->queuedRuns++ == 0) appendToQueue(pool, work);
    ++pool->queuedRuns;
    if (work->group != nullptr) ++work->group->pendingRuns;
    pool->workReady.notify_one();
    startWorkersForBacklog(pool);
}

// A work still queued or running is released when its last run finishes, so a
// callback may close its own work as its last action.
void CloseThreadpoolWork(PTP_WORK work) {
    std::lock_guard guard(poolLock);
    work->closed = true;
    if (work->queuedRuns == 0 && work->runningRuns == 0) releaseWork(work);
}
