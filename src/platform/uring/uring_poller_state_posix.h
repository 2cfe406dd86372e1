// What the io_uring poller's files share: its operations in flight, what it
// knows of each socket, and each worker's ring (fiber_poller_io_uring_posix.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <liburing.h>
#include <string>
#include <vector>

#include "platform/fibers/fiber_poller.h"
#include "platform/uring/uring_receive_buffers_posix.h"

constexpr std::size_t kMostBytesSentAhead = 4096;   // longer sends wait for their completion
constexpr std::size_t kMostBytesKeptByACall = 512;  // larger copies go back after the call

enum class OperationKind { Poll, Receive, Call, Wake, SendAhead };

struct UringOperation {
    OperationKind kind = OperationKind::Poll;  // what was submitted
    Fiber* fiber = nullptr;                    // fiber waiting for it, or none once abandoned
    SOCKET socket = INVALID_SOCKET;            // socket it works on
    std::uint32_t generation = 0;              // the socket's generation when it was submitted
    long result = 0;                           // the completion's result: bytes, events or -errno
    UringOperation* nextFree = nullptr;        // next unused operation
    std::string bytes;                         // a send ahead's copy of what it sends
    io_uring_sqe* entry = nullptr;             // a send ahead's entry until it is submitted
    UringOperation* partner = nullptr;         // a send ahead and the receive linked after it
};

struct SocketRecord {
    std::uint32_t generation = 0;         // bumped when the socket is closed
    bool readsHere = false;               // its receives come through here: a wait may receive
    int heldBuffer = -1;                  // buffer of bytes a wait received, or -1
    std::uint32_t heldOffset = 0;         // first byte in it the caller has not taken
    std::uint32_t heldBytes = 0;          // bytes in it the caller has not taken
    bool heldEnd = false;                 // a wait received the end of the stream
    int heldError = 0;                    // the error a wait's receive or a send ahead met, or 0
    UringOperation* sendAhead = nullptr;  // a send ahead not yet known to have ended
};

struct PollerState {
    FiberWorker* worker = nullptr;                   // the worker it serves
    io_uring ring{};                                 // the submission and completion queues
    bool ringReady = false;                          // ring was set up and must be torn down
    int wakeFd = -1;                                 // eventfd written to wake the worker
    std::uint64_t wakeCount = 0;                     // where the wake-up's read puts the count
    std::deque<UringOperation> operations;           // every operation made; addresses stay put
    UringOperation* freeOperations = nullptr;        // operations not in use
    std::vector<SocketRecord> sockets;               // indexed by descriptor
    ReceiveBuffers buffers;                          // where waits that receive put the bytes
    std::vector<UringOperation*> unsubmittedAheads;  // sends ahead still in the submission queue
};

// ---- The submission queue and the operations (uring_operations_posix.cpp) ----

SocketRecord& recordOf(PollerState& state, SOCKET socket);
UringOperation* takeOperation(PollerState& state, OperationKind kind, SOCKET socket);
void giveBack(PollerState& state, UringOperation* operation);
// Sends what is queued to the kernel.
void submitQueued(PollerState& state);
// Settles what the queue holds before an enter submits it.
void settleSendsAhead(PollerState& state);
// The next free entry, flushing a full queue first; null when none is free.
io_uring_sqe* nextEntry(PollerState& state);
void cancelOperation(PollerState& state, UringOperation* operation);

// ---- A socket's bytes: held receives, sends ahead (uring_socket_bytes_posix.cpp) ----

void completeReceive(PollerState& state, UringOperation& operation, unsigned flags);
// The bytes, end or error a wait received, as the receive call would have met them.
bool takeHeld(PollerState& state, const SocketOperation& call, long& result);
bool sendAhead(PollerState& state, const SocketOperation& call, long& result);
void linkAfterSendAhead(SocketRecord& record, UringOperation* receive, io_uring_sqe* entry);
void endSendAhead(PollerState& state, UringOperation& ahead, long result);
