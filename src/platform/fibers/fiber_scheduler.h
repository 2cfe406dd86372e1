// The scheduler behind the fiber thread pool. Each pool worker thread runs many
// callbacks as fibers and parks a fiber, not the thread, while its socket or its
// sleep is pending, so thousands of clients cost no more context switches than
// a few event loops per processor (fiberWorkersFor), each waiting on its
// poller (io_uring in uring/ or epoll in pollers/ on Linux, a completion
// port in iocp/ or WSAPoll in pollers/ on Windows).
//
// Socket waits on POSIX are edge-triggered: a fiber may wait on a socket only
// when the socket may have nothing for it: a call on it reported that it would
// block (EAGAIN, EINPROGRESS), a receive returned less than it asked for, or
// nothing was read since a request went out. End of stream and errors, once
// seen, keep every later wait on the socket ready.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/fibers/wait_result.h"
#include "platform/os/system_api.h"

struct FiberWorker;

// What a worker asks its owner each round: start queued callbacks with
// spawnFiber; false when the worker should end once its own fibers have ended.
using FiberRefill = bool (*)(FiberWorker& worker, void* owner);

// Null when the system refuses what the loop needs (epoll or eventfd; a
// loopback socket for wake-ups on Windows).
FiberWorker* createFiberWorker();
void destroyFiberWorker(FiberWorker* worker);

// Runs the worker on the calling thread until refill says stop and no fiber is left.
void runFiberWorker(FiberWorker& worker, FiberRefill refill, void* owner);

// Queues task(argument) as a new fiber of the worker. Called from refill only.
bool spawnFiber(FiberWorker& worker, void (*task)(void*), void* argument);

std::size_t liveFiberCount(const FiberWorker& worker);

// Callbacks one refill may start, at most kMostRunsPerRefill. Each new one
// opens a connection, whose cost differs by system: it sets how long the
// fibers already running wait while a large run starts up.
inline constexpr std::size_t kMostRunsPerRefill = 4096;
std::size_t runsTakenPerRefill();

// Worker threads a pool may run on a machine with this many processors.
std::size_t fiberWorkersFor(std::size_t processors);

// Wakes a worker parked with nothing to run, so that it calls refill again.
// Any thread may call it.
void wakeFiberWorker(FiberWorker& worker);

// True on a fiber: the waits below then park the fiber instead of the thread.
bool onFiber();
WaitResult waitOnFiber(SOCKET socket, SocketWait direction, int timeoutMs);
void sleepOnFiber(std::int64_t durationNs);
// The earliest monotonic instant, in ns, at which the socket of the running
// fiber's last wait that ended Ready may have become ready: when the poll that
// saw it returned, or, when the loop was busy with other fibers and found it
// waiting, when the loop's poll before that returned.
std::int64_t fiberReadySinceNs();
// Must precede the close of a socket waited on by a fiber of this thread.
void forgetFiberSocket(SOCKET socket);

// For work handed to another thread: the running fiber parks until that thread
// calls resumeFiber with the handle taken before. The resume may come before
// the park; it then takes effect once the fiber has parked.
struct Fiber;
Fiber* runningFiber();
void parkUntilResumed();
void resumeFiber(Fiber* fiber);  // any thread
