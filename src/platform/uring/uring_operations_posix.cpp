// The io_uring poller's submission queue and its pool of operations.
#include "platform/uring/uring_poller_state_posix.h"

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
    operation->partner = nullptr;
    operation->entry = nullptr;
    operation->socket = socket;
    operation->generation = socket >= 0 ? recordOf(state, socket).generation : 0;
    return operation;
}

void giveBack(PollerState& state, UringOperation* operation) {
    operation->nextFree = state.freeOperations;
    state.freeOperations = operation;
}

// Before the queue goes to the kernel: a send ahead that no receive follows
// reports its success too, as nothing else would tell when its copy is free.
void settleSendsAhead(PollerState& state) {
    for (UringOperation* ahead : state.unsubmittedAheads) {
        if (ahead->partner == nullptr) ahead->entry->flags &= ~IOSQE_CQE_SKIP_SUCCESS;
        ahead->entry = nullptr;
    }
    state.unsubmittedAheads.clear();
}

void submitQueued(PollerState& state) {
    settleSendsAhead(state);
    io_uring_submit(&state.ring);
}

// A full submission queue is flushed to the kernel to make room.
io_uring_sqe* nextEntry(PollerState& state) {
    io_uring_sqe* entry = io_uring_get_sqe(&state.ring);
    if (entry != nullptr) return entry;
    submitQueued(state);
    return io_uring_get_sqe(&state.ring);
}

void cancelOperation(PollerState& state, UringOperation* operation) {
    io_uring_sqe* entry = nextEntry(state);
    if (entry == nullptr) return;  // the operation ends by itself, later
    io_uring_prep_cancel64(entry, reinterpret_cast<std::uintptr_t>(operation), 0);
    io_uring_sqe_set_data64(entry, 0);
    entry->flags |= IOSQE_CQE_SKIP_SUCCESS;
}
