// The io_uring poller. A fiber's socket wait is a one-shot poll submission,
// and its send and receive are submissions of their own: the fiber
// parks, and the completion makes it ready. Each loop turn makes one
// io_uring_enter that submits what the turn's fibers asked for and reaps what
// has completed, for all of them.
//
// Sends and receives carry MSG_DONTWAIT, so they complete at once with what
// the socket allows, exactly as the non-blocking calls would; the caller's
// waits, with their deadlines, stay where they were. A connect stays the
// system's non-blocking call, and its wait a poll: taken as a submission it
// cost up to four times the CPU per request while thousands of clients
// connected at once, with the ephemeral ports crowded.
//
// Once a socket's receives come through here, a wait for its bytes is itself
// a receive into a buffer the kernel picks (uring_receive_buffers_posix.h):
// the receive call that follows the wait takes the bytes held, with no
// submission of its own. A wait whose deadline passes is cancelled.
#include <cerrno>
#include <cstring>
#include <deque>
#include <liburing.h>
#include <new>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

#include "platform/fiber_poller.h"
#include "platform/uring_receive_buffers_posix.h"

namespace {

constexpr unsigned kSubmissionEntries = 4096;
constexpr unsigned kCompletionEntries = 16384;  // room for every client of a worker at once

enum class OperationKind { Poll, Receive, Call, Wake };

struct UringOperation {
    OperationKind kind = OperationKind::Poll;  // what was submitted
    Fiber* fiber = nullptr;                    // fiber waiting for it, or none once abandoned
    SOCKET socket = INVALID_SOCKET;            // socket it works on
    std::uint32_t generation = 0;              // the socket's generation when it was submitted
    long result = 0;                           // the completion's result: bytes, events or -errno
    UringOperation* nextFree = nullptr;        // next unused operation
};

struct SocketRecord {
    std::uint32_t generation = 0;  // bumped when the socket is closed
    bool readsHere = false;        // its receives come through here: a wait may receive
    int heldBuffer = -1;           // buffer of bytes a wait received, or -1
    std::uint32_t heldOffset = 0;  // first byte in it the caller has not taken
    std::uint32_t heldBytes = 0;   // bytes in it the caller has not taken
    bool heldEnd = false;          // a wait received the end of the stream
    int heldError = 0;             // the error a wait's receive met, or 0
};

}  // namespace

struct PollerState {
    FiberWorker* worker = nullptr;             // the worker it serves
    io_uring ring{};                           // the submission and completion queues
    bool ringReady = false;                    // ring was set up and must be torn down
    int wakeFd = -1;                           // eventfd written to wake the worker
    std::uint64_t wakeCount = 0;               // where the wake-up's read puts the count
    std::deque<UringOperation> operations;     // every operation made; addresses stay put
    UringOperation* freeOperations = nullptr;  // operations not in use
    std::vector<SocketRecord> sockets;         // indexed by descriptor
    ReceiveBuffers buffers;                    // where waits that receive put the bytes
};

namespace {

// Single issuer and deferred task work: completions are processed only when
// the worker enters the ring, on its own thread, with no interrupt of a
// running fiber. Started disabled, so the worker thread becomes its issuer.
constexpr unsigned kPreferredSetup =
    IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN | IORING_SETUP_R_DISABLED;

bool setUpRing(io_uring& ring, unsigned extraFlags) {
    io_uring_params params{};
    params.flags = IORING_SETUP_CQSIZE | IORING_SETUP_SUBMIT_ALL | extraFlags;
    params.cq_entries = kCompletionEntries;
    if (io_uring_queue_init_params(kSubmissionEntries, &ring, &params) == 0) return true;
    // Kernels before 6.1 know no deferred task work.
    params = io_uring_params{};
    params.flags = IORING_SETUP_CQSIZE | (extraFlags & IORING_SETUP_R_DISABLED);
    params.cq_entries = kCompletionEntries;
    return io_uring_queue_init_params(kSubmissionEntries, &ring, &params) == 0;
}

SocketRecord& recordOf(PollerState& state, SOCKET socket) {
    const auto index = static_cast<std::size_t>(socket);
    if (index >= state.sockets.size()) state.sockets.resize(index + 1024);
    return state.sockets[index];
}

UringOperation* takeOperation(PollerState& state, OperationKind kind, SOCKET socket) {
    UringOperation* operation = state.freeOperations;
    if (operation != nullptr) {
        state.freeOperations = operation->nextFree;
    } else {
        operation = &state.operations.emplace_back();
    }
    operation->kind = kind;
    operation->fiber = nullptr;
    operation->socket = socket;
    operation->generation = socket >= 0 ? recordOf(state, socket).generation : 0;
    return operation;
}

void giveBack(PollerState& state, UringOperation* operation) {
    operation->nextFree = state.freeOperations;
    state.freeOperations = operation;
}

// A full submission queue is flushed to the kernel to make room.
io_uring_sqe* nextEntry(PollerState& state) {
    io_uring_sqe* entry = io_uring_get_sqe(&state.ring);
    if (entry != nullptr) return entry;
    io_uring_submit(&state.ring);
    return io_uring_get_sqe(&state.ring);
}

void cancelOperation(PollerState& state, UringOperation* operation) {
    io_uring_sqe* entry = nextEntry(state);
    if (entry == nullptr) return;  // the operation ends by itself, later
    io_uring_prep_cancel64(entry, reinterpret_cast<std::uintptr_t>(operation), 0);
    io_uring_sqe_set_data64(entry, 0);
    entry->flags |= IOSQE_CQE_SKIP_SUCCESS;
}

bool armWakeUp(PollerState& state) {
    io_uring_sqe* entry = nextEntry(state);
    if (entry == nullptr) return false;
    UringOperation* operation = takeOperation(state, OperationKind::Wake, INVALID_SOCKET);
    io_uring_prep_read(entry, state.wakeFd, &state.wakeCount, sizeof(state.wakeCount), 0);
    io_uring_sqe_set_data(entry, operation);
    return true;
}

void destroyIoUring(PollerState* state) {
    if (state->ringReady) io_uring_queue_exit(&state->ring);
    tearDownReceiveBuffers(state->ring, state->buffers);
    if (state->wakeFd >= 0) close(state->wakeFd);
    delete state;
}

PollerState* createIoUring(FiberWorker& worker) {
    auto* state = new (std::nothrow) PollerState;
    if (state == nullptr) return nullptr;
    state->worker = &worker;
    state->ringReady = setUpRing(state->ring, kPreferredSetup);
    state->wakeFd = eventfd(0, EFD_CLOEXEC);
    if (!state->ringReady || state->wakeFd < 0) {
        destroyIoUring(state);
        return nullptr;
    }
    return state;
}

bool attachIoUring(PollerState* state) {
    // Debian's liburing 2.3 declares io_uring_enable_rings but does not export it.
    if ((state->ring.flags & IORING_SETUP_R_DISABLED) != 0 &&
        syscall(__NR_io_uring_register, state->ring.ring_fd, IORING_REGISTER_ENABLE_RINGS, nullptr,
                0) != 0) {
        return false;
    }
    // Without buffer rings (kernels before 5.19) every wait is a poll.
    setUpReceiveBuffers(state->ring, state->buffers);
    return armWakeUp(*state);
}

bool ioUringUsable() {
    io_uring ring{};
    if (!setUpRing(ring, 0)) return false;
    io_uring_queue_exit(&ring);
    return true;
}

WaitStart beginIoUringWait(PollerState* state, Fiber* fiber, FiberSocketWait& wait) {
    SocketRecord& record = recordOf(*state, wait.socket);
    const bool readable = wait.direction == SocketWait::Readable;
    if (readable && (record.heldBuffer >= 0 || record.heldEnd || record.heldError != 0)) {
        return WaitStart::Ready;
    }
    io_uring_sqe* entry = nextEntry(*state);
    if (entry == nullptr) return WaitStart::Failed;
    const bool receive = readable && record.readsHere && state->buffers.registered;
    UringOperation* operation =
        takeOperation(*state, receive ? OperationKind::Receive : OperationKind::Poll, wait.socket);
    operation->fiber = fiber;
    if (receive) {
        io_uring_prep_recv(entry, wait.socket, nullptr, kReceiveBufferBytes, MSG_NOSIGNAL);
        entry->flags |= IOSQE_BUFFER_SELECT;
        entry->buf_group = kReceiveBufferGroup;
    } else {
        io_uring_prep_poll_add(entry, wait.socket, readable ? POLLIN | POLLRDHUP : POLLOUT);
    }
    io_uring_sqe_set_data(entry, operation);
    wait.pollerSlot = operation;
    return WaitStart::Parked;
}

void abandonIoUringWait(PollerState* state, FiberSocketWait& wait) {
    auto* operation = static_cast<UringOperation*>(wait.pollerSlot);
    if (operation == nullptr) return;
    operation->fiber = nullptr;
    cancelOperation(*state, operation);
}

// Bytes held for the socket go back to the ring; what a late completion
// brings for the old socket is dropped by its generation.
void forgetIoUringSocket(PollerState* state, SOCKET socket) {
    const auto index = static_cast<std::size_t>(socket);
    if (index >= state->sockets.size()) return;
    SocketRecord& record = state->sockets[index];
    if (record.heldBuffer >= 0) giveBackBuffer(state->buffers, record.heldBuffer);
    const std::uint32_t generation = record.generation + 1;
    record = SocketRecord{};
    record.generation = generation;
}

// What a wait's receive brought is held for the receive call that follows,
// even when the wait has been given up meanwhile: those bytes are the
// socket's next ones.
void completeReceive(PollerState& state, UringOperation& operation, unsigned flags) {
    const bool inBuffer = (flags & IORING_CQE_F_BUFFER) != 0;
    const auto id = flags >> IORING_CQE_BUFFER_SHIFT;
    SocketRecord& record = recordOf(state, operation.socket);
    if (record.generation != operation.generation) {
        if (inBuffer) giveBackBuffer(state.buffers, id);
        return;
    }
    if (operation.result > 0 && inBuffer) {
        record.heldBuffer = static_cast<int>(id);
        record.heldOffset = 0;
        record.heldBytes = static_cast<std::uint32_t>(operation.result);
    } else if (operation.result == 0) {
        record.heldEnd = true;
    } else if (operation.result != -ENOBUFS && operation.result != -ECANCELED) {
        // Out of buffers, or given up: the receive call asks the socket itself.
        record.heldError = static_cast<int>(-operation.result);
    }
}

void complete(PollerState& state, UringOperation* operation, long result, unsigned flags) {
    operation->result = result;
    switch (operation->kind) {
        case OperationKind::Wake:
            takeRemoteReady(*state.worker);
            armWakeUp(state);
            break;
        case OperationKind::Call:
            makeFiberReady(*state.worker, operation->fiber);
            return;  // the caller gives it back once it has read the result
        case OperationKind::Receive:
            completeReceive(state, *operation, flags);
            if (operation->fiber != nullptr) {
                finishSocketWait(*state.worker, operation->fiber, WaitResult::Ready);
            }
            break;
        case OperationKind::Poll:
            if (operation->fiber != nullptr) {
                const bool failed = operation->kind == OperationKind::Poll &&
                                    (result < 0 || (result & POLLNVAL) != 0);
                finishSocketWait(*state.worker, operation->fiber,
                                 failed ? WaitResult::Failed : WaitResult::Ready);
            }
            break;
    }
    giveBack(state, operation);
}

// One enter: submits the turn's operations and, when it may block, waits
// until one completes or wakeNs; then every completion is taken.
void pollIoUring(PollerState* state, std::int64_t wakeNs, bool mayBlock) {
    io_uring& ring = state->ring;
    if (!mayBlock) {
        io_uring_submit_and_get_events(&ring);
    } else if (wakeNs == INT64_MAX) {
        io_uring_submit_and_wait(&ring, 1);
    } else {
        std::int64_t leftNs = wakeNs - monotonicNowNs();
        if (leftNs < 0) leftNs = 0;
        __kernel_timespec timeout{leftNs / 1'000'000'000, leftNs % 1'000'000'000};
        io_uring_cqe* first = nullptr;
        io_uring_submit_and_wait_timeout(&ring, &first, 1, &timeout, nullptr);
    }
    unsigned head = 0;
    unsigned seen = 0;
    io_uring_cqe* completion = nullptr;
    io_uring_for_each_cqe(&ring, head, completion) {
        ++seen;
        auto* operation = static_cast<UringOperation*>(io_uring_cqe_get_data(completion));
        if (operation != nullptr) complete(*state, operation, completion->res, completion->flags);
    }
    io_uring_cq_advance(&ring, seen);
}

void wakeIoUring(PollerState* state) {
    const std::uint64_t one = 1;
    // A full counter still completes the worker's read, which is all a wake-up needs.
    [[maybe_unused]] const auto written = write(state->wakeFd, &one, sizeof(one));
}

void prepareCall(io_uring_sqe* entry, UringOperation& operation, const SocketOperation& call) {
    // Never a signal for a peer that has gone, never a wait for room or data.
    const int flags = call.flags | MSG_DONTWAIT | MSG_NOSIGNAL;
    if (call.call == SocketCall::Send) {
        io_uring_prep_send(entry, call.socket, call.buffer, call.bytes, flags);
    } else {
        io_uring_prep_recv(entry, call.socket, call.buffer, call.bytes, flags);
    }
    io_uring_sqe_set_data(entry, &operation);
}

// The bytes, end or error a wait received, as the receive call would have met them.
bool takeHeld(PollerState& state, const SocketOperation& call, long& result) {
    SocketRecord& record = recordOf(state, call.socket);
    const bool peek = (call.flags & MSG_PEEK) != 0;
    // A peek takes nothing: a socket whose bytes someone else reads (TLS
    // reads its own) may be peeked at and must still never have its bytes
    // taken by a wait.
    if (!peek) record.readsHere = true;
    if (record.heldBuffer >= 0) {
        const std::size_t taken = call.bytes < record.heldBytes ? call.bytes : record.heldBytes;
        const char* held = receiveBuffer(state.buffers, static_cast<unsigned>(record.heldBuffer));
        std::memcpy(call.buffer, held + record.heldOffset, taken);
        result = static_cast<long>(taken);
        if (peek) return true;
        record.heldOffset += static_cast<std::uint32_t>(taken);
        record.heldBytes -= static_cast<std::uint32_t>(taken);
        if (record.heldBytes == 0) {
            giveBackBuffer(state.buffers, static_cast<unsigned>(record.heldBuffer));
            record.heldBuffer = -1;
        }
        return true;
    }
    if (record.heldEnd) {
        result = 0;  // the end of a stream holds for every later receive
        return true;
    }
    if (record.heldError == 0) return false;
    result = -record.heldError;
    if (!peek) record.heldError = 0;
    return true;
}

bool submitIoUring(PollerState* state, Fiber* fiber, const SocketOperation& call, long& result) {
    if (call.call == SocketCall::Receive && takeHeld(*state, call, result)) return true;
    io_uring_sqe* entry = nextEntry(*state);
    if (entry == nullptr) return false;
    UringOperation* operation = takeOperation(*state, OperationKind::Call, call.socket);
    prepareCall(entry, *operation, call);
    operation->fiber = fiber;
    parkRunningFiber();
    result = operation->result;
    giveBack(*state, operation);
    return true;
}

}  // namespace

const FiberPoller kIoUringPoller = {
    "io_uring",    ioUringUsable,    createIoUring,      destroyIoUring,
    attachIoUring, beginIoUringWait, abandonIoUringWait, forgetIoUringSocket,
    pollIoUring,   wakeIoUring,      submitIoUring,
};
