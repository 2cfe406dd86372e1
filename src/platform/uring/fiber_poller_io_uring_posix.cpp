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
//
// On such a socket a short send is sent ahead (uring_socket_bytes_posix.cpp):
// the call returns at once with
// every byte taken, as a non-blocking send into a socket with room does, and
// the kernel sends a copy of the bytes, linked before the receive that waits
// for the answer. Request and wait then go in one io_uring_enter: a send of
// its own costs each request a second enter, about a tenth more CPU per
// request against nginx (bench/floor's "apart" variant). A send ahead that
// fails reaches the socket's next receive as its error; one in flight makes
// the next send on the socket report "would block" until it has ended.
//
// Measured on the floor client and not taken: a multishot receive per
// connection (about 2 % less CPU per request, within the noise, for a held
// queue per socket and a reorder hazard) and registered files (no gain).
#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <liburing.h>
#include <new>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

#include "platform/fibers/fiber_poller.h"
#include "platform/uring/uring_poller_state_posix.h"

namespace {

constexpr unsigned kSubmissionEntries = 4096;
constexpr unsigned kCompletionEntries = 16384;  // room for every client of a worker at once

// Single issuer and deferred task work: completions are processed only when
// the worker enters the ring, on its own thread, with no interrupt of a
// running fiber. Started disabled, so the worker thread becomes its issuer.
constexpr unsigned kPreferredSetup =
    IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN | IORING_SETUP_R_DISABLED;

// What every ring must offer, read from what the kernel says of itself:
// - EXT_ARG: a wait's timeout travels with the enter. Without it liburing
//   queues a timeout entry of its own, whose completion carries no operation.
// - CQE_SKIP: cancels and sends ahead post nothing when they succeed. A
//   kernel without it refuses the flag, and a refused cancel leaves a wait
//   holding its socket open after the close.
// - NODROP: a full completion queue keeps what overflows.
constexpr unsigned kRequiredFeatures =
    IORING_FEAT_EXT_ARG | IORING_FEAT_CQE_SKIP | IORING_FEAT_NODROP;
// The operations the poller submits.
constexpr io_uring_op kRequiredOperations[] = {IORING_OP_POLL_ADD, IORING_OP_ASYNC_CANCEL,
                                               IORING_OP_READ, IORING_OP_SEND, IORING_OP_RECV};

bool operationsSupported(io_uring& ring) {
    io_uring_probe* probe = io_uring_get_probe_ring(&ring);
    if (probe == nullptr) return false;
    bool supported = true;
    for (const io_uring_op operation : kRequiredOperations) {
        supported = supported && io_uring_opcode_supported(probe, operation) != 0;
    }
    io_uring_free_probe(probe);
    return supported;
}

bool ringSuffices(io_uring& ring, unsigned features) {
    return (features & kRequiredFeatures) == kRequiredFeatures && operationsSupported(ring);
}

bool initRing(io_uring& ring, io_uring_params& params) {
    if (io_uring_queue_init_params(kSubmissionEntries, &ring, &params) != 0) return false;
    if (ringSuffices(ring, params.features)) return true;
    io_uring_queue_exit(&ring);
    return false;
}

bool setUpRing(io_uring& ring, unsigned extraFlags) {
    io_uring_params params{};
    params.flags = IORING_SETUP_CQSIZE | IORING_SETUP_SUBMIT_ALL | extraFlags;
    params.cq_entries = kCompletionEntries;
    if (initRing(ring, params)) return true;
    // Kernels before 6.1 know no deferred task work.
    params = io_uring_params{};
    params.flags = IORING_SETUP_CQSIZE | (extraFlags & IORING_SETUP_R_DISABLED);
    params.cq_entries = kCompletionEntries;
    return initRing(ring, params);
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
        linkAfterSendAhead(record, operation, entry);
    } else {
        io_uring_prep_poll_add(entry, wait.socket, readable ? POLLIN | POLLRDHUP : POLLOUT);
    }
    io_uring_sqe_set_data(entry, operation);
    wait.pollerSlot = operation;
    return WaitStart::Parked;
}

// A receive linked after a send ahead is cancelled after it: the receive
// then ends only once the send has ended, as its completion must tell.
void abandonIoUringWait(PollerState* state, FiberSocketWait& wait) {
    auto* operation = static_cast<UringOperation*>(wait.pollerSlot);
    if (operation == nullptr) return;
    operation->fiber = nullptr;
    if (operation->partner != nullptr) cancelOperation(*state, operation->partner);
    cancelOperation(*state, operation);
}

// Bytes held for the socket go back to the ring; what a late completion
// brings for the old socket is dropped by its generation. Entries still
// queued name the socket by its number, which the next socket may take:
// they go to the kernel before the close.
void forgetIoUringSocket(PollerState* state, SOCKET socket) {
    const auto index = static_cast<std::size_t>(socket);
    if (index >= state->sockets.size()) return;
    if (io_uring_sq_ready(&state->ring) > 0) submitQueued(*state);
    SocketRecord& record = state->sockets[index];
    if (record.sendAhead != nullptr) {
        cancelOperation(*state, record.sendAhead);
        if (record.sendAhead->partner != nullptr) {
            cancelOperation(*state, record.sendAhead->partner);
        }
    }
    if (record.heldBuffer >= 0) giveBackBuffer(state->buffers, record.heldBuffer);
    const std::uint32_t generation = record.generation + 1;
    record = SocketRecord{};
    record.generation = generation;
}

void complete(PollerState& state, UringOperation* operation, long result, unsigned flags) {
    operation->result = result;
    switch (operation->kind) {
        case OperationKind::SendAhead: {
            // A send ahead that fails reports, and the receive linked after it
            // then ends without a completion of its own.
            UringOperation* receive = operation->partner;
            endSendAhead(state, *operation, result);
            if (receive != nullptr) {
                if (receive->fiber != nullptr) {
                    finishSocketWait(*state.worker, receive->fiber, WaitResult::Ready);
                }
                giveBack(state, receive);
            }
            return;
        }
        case OperationKind::Wake:
            takeRemoteReady(*state.worker);
            armWakeUp(state);
            break;
        case OperationKind::Call:
            makeFiberReady(*state.worker, operation->fiber);
            return;  // the caller gives it back once it has read the result
        case OperationKind::Receive:
            // The receive started only after every byte of the send had gone.
            if (operation->partner != nullptr) {
                endSendAhead(state, *operation->partner,
                             static_cast<long>(operation->partner->bytes.size()));
            }
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
    settleSendsAhead(*state);
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

// The kernel reads or writes a call's bytes when the queue is submitted,
// after the fiber has parked and while another fiber may be on its stack:
// they go through the operation's own copy.
void prepareCall(io_uring_sqe* entry, UringOperation& operation, const SocketOperation& call) {
    // Never a signal for a peer that has gone, never a wait for room or data.
    const int flags = call.flags | MSG_DONTWAIT | MSG_NOSIGNAL;
    if (call.call == SocketCall::Send) {
        operation.bytes.assign(static_cast<const char*>(call.buffer), call.bytes);
        io_uring_prep_send(entry, call.socket, operation.bytes.data(), call.bytes, flags);
    } else {
        operation.bytes.resize(call.bytes);
        io_uring_prep_recv(entry, call.socket, operation.bytes.data(), call.bytes, flags);
    }
    io_uring_sqe_set_data(entry, &operation);
}

// A receive's bytes reach the caller once it runs again; a large copy is not
// kept by an operation that may next serve a small call.
void finishCall(UringOperation& operation, const SocketOperation& call) {
    if (call.call == SocketCall::Receive && operation.result > 0) {
        std::memcpy(call.buffer, operation.bytes.data(),
                    static_cast<std::size_t>(operation.result));
    }
    if (operation.bytes.capacity() > kMostBytesKeptByACall) {
        std::string().swap(operation.bytes);
    }
}

bool submitIoUring(PollerState* state, Fiber* fiber, const SocketOperation& call, long& result) {
    // Connects are the completion port's alone; the system's call takes them here.
    if (call.call != SocketCall::Send && call.call != SocketCall::Receive) return false;
    if (call.call == SocketCall::Receive && takeHeld(*state, call, result)) return true;
    if (call.call == SocketCall::Send && sendAhead(*state, call, result)) return true;
    io_uring_sqe* entry = nextEntry(*state);
    if (entry == nullptr) return false;
    UringOperation* operation = takeOperation(*state, OperationKind::Call, call.socket);
    prepareCall(entry, *operation, call);
    operation->fiber = fiber;
    parkRunningFiber();
    result = operation->result;
    finishCall(*operation, call);
    giveBack(*state, operation);
    return true;
}

}  // namespace

const FiberPoller kIoUringPoller = {
    "io_uring",    ioUringUsable,    createIoUring,      destroyIoUring,
    attachIoUring, beginIoUringWait, abandonIoUringWait, forgetIoUringSocket,
    pollIoUring,   wakeIoUring,      submitIoUring,
};
