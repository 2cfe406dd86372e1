// The poller seam of the fiber scheduler: what a worker waits on when no fiber
// is ready. One file per mechanism (epoll and io_uring on Linux, an I/O
// completion port and WSAPoll on Windows), chosen once per process at run time (chosenPoller). A
// poller registers a fiber's socket wait, waits for readiness, completions, timers' instants or a
// wake-up, and wakes a worker from another thread; io_uring and the completion port also take a
// fiber's socket calls as submissions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/os/clock.h"
#include "platform/fibers/fiber_scheduler.h"
#include "platform/os/system_api.h"

struct PollerState;  // each poller's own, one per worker

// A fiber's socket wait, as the scheduler records it.
struct FiberSocketWait {
    SOCKET socket = INVALID_SOCKET;               // socket it is parked on, or none
    SocketWait direction = SocketWait::Readable;  // what it waits for
    std::int64_t deadlineNs = 0;                  // monotonic instant the wait times out
    std::size_t waiterIndex = 0;                  // its place in the worker's list of waiters
    void* pollerSlot = nullptr;                   // the poller's record of the wait, if any
};

enum class WaitStart {
    Ready,   // ready already: the fiber goes on without parking
    Parked,  // the poller finishes the wait through finishSocketWait
    Failed,  // the system refused the wait
};

// A fiber's socket call, taken as a submission by pollers that offer them.
// Connect and ConnectResult come only from Windows' socket calls, for the
// completion port poller, whose connects finish as completions.
enum class SocketCall {
    Send,
    Receive,
    Connect,       // buffer and bytes: the peer's address; result -WSAEWOULDBLOCK once begun.
                   // With no address: true when the poller takes connects
    ConnectResult  // result: 0 or -error for the socket's finished connect
};
struct SocketOperation {
    SocketCall call;    // which call
    SOCKET socket;      // on which socket
    void* buffer;       // bytes to send, room to receive into, or an address
    std::size_t bytes;  // size of buffer
    int flags;          // send or recv flags
};

struct FiberPoller {
    const char* name;  // what VELKOR_POLLER calls it
    // Whether this system and process allow the poller at all; asked once.
    bool (*usable)();
    // Null when the system refuses what the poller needs.
    PollerState* (*create)(FiberWorker& worker);
    void (*destroy)(PollerState* state);
    // Called on the worker thread before its first fiber runs; false when refused.
    bool (*attach)(PollerState* state);
    // Starts the running fiber's wait, recorded in wait.
    WaitStart (*beginWait)(PollerState* state, Fiber* fiber, FiberSocketWait& wait);
    // The wait's deadline has passed: the poller lets go of it.
    void (*abandonWait)(PollerState* state, FiberSocketWait& wait);
    // The socket is about to be closed; its number may come back for another.
    void (*forgetSocket)(PollerState* state, SOCKET socket);
    // Blocks until wakeNs (INT64_MAX: no limit) when mayBlock, else only looks;
    // hands what it found to finishSocketWait, makeFiberReady and takeRemoteReady.
    void (*poll)(PollerState* state, std::int64_t wakeNs, bool mayBlock);
    // Any thread: makes a blocked poll return.
    void (*wake)(PollerState* state);
    // Null when the poller takes no submissions. Otherwise true when it took
    // the call on the running fiber, with result as the system call's return
    // value, or -errno.
    bool (*submit)(PollerState* state, Fiber* fiber, const SocketOperation& operation,
                   long& result);
};

// The poller for this process: VELKOR_POLLER's choice, else the best one the
// system allows. A VELKOR_POLLER that names no poller of this system, or one
// the system refuses, ends the process with a message on standard error.
const FiberPoller& chosenPoller();
// Each poller's table; their create says whether the system allows them.
extern const FiberPoller kEpollPoller;
extern const FiberPoller kIoUringPoller;
extern const FiberPoller kWsaPollPoller;
extern const FiberPoller kIocpPoller;

// ---- What the scheduler offers socket calls ------------------------------

// True when the running fiber's poller took the call as a submission, with
// result as the system call's return value, or -errno.
bool submitOnFiber(const SocketOperation& operation, long& result);

// ---- What the scheduler offers its poller --------------------------------

// Ends a fiber's socket wait with this result and queues the fiber. The one
// place a wait's outcome reaches its fiber.
void finishSocketWait(FiberWorker& worker, Fiber* fiber, WaitResult result);
// Queues a fiber parked by the poller itself (on a submission).
void makeFiberReady(FiberWorker& worker, Fiber* fiber);
// Queues the fibers other threads resumed.
void takeRemoteReady(FiberWorker& worker);
// Parks the running fiber until the poller makes it ready.
void parkRunningFiber();
std::size_t socketWaiterCount(const FiberWorker& worker);
Fiber* socketWaiterAt(const FiberWorker& worker, std::size_t index);
FiberSocketWait& socketWaitOf(Fiber* fiber);
