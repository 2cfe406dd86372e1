// A socket's bytes under the io_uring poller: what waits that receive hold
// for the receive call, and the sends sent ahead of them.
#include <cerrno>
#include <cstring>

#include "platform/uring/uring_poller_state_posix.h"
#include "platform/pollers/held_ending.h"

// The wait's receive follows the socket's send ahead when that is the entry
// just before it: the receive starts once every byte has gone, and its
// completion tells that the send's copy is free.
void linkAfterSendAhead(SocketRecord& record, UringOperation* receive, io_uring_sqe* entry) {
    UringOperation* ahead = record.sendAhead;
    receive->partner = nullptr;
    if (ahead == nullptr || ahead->entry == nullptr || entry != ahead->entry + 1) return;
    ahead->entry->flags |= IOSQE_IO_LINK;
    ahead->partner = receive;
    receive->partner = ahead;
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

// A send ahead ends with its own completion, which comes for a failure (or
// when no receive followed it), or with that of the receive linked after it.
void endSendAhead(PollerState& state, UringOperation& ahead, long result) {
    SocketRecord& record = recordOf(state, ahead.socket);
    if (record.generation == ahead.generation) {
        if (record.sendAhead == &ahead) record.sendAhead = nullptr;
        // A send cut short has left the request half sent.
        const int error = result < 0 ? static_cast<int>(-result) : EPIPE;
        if (result != static_cast<long>(ahead.bytes.size()) && record.heldError == 0) {
            record.heldError = error;
        }
    }
    if (ahead.partner != nullptr) ahead.partner->partner = nullptr;
    ahead.partner = nullptr;
    giveBack(state, &ahead);
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
    return takeHeldEnding(record, peek, result);
}

// A short send on a socket whose answers come through here; false leaves the
// send to a submission of its own.
bool sendAhead(PollerState& state, const SocketOperation& call, long& result) {
    SocketRecord& record = recordOf(state, call.socket);
    // No send of any length may overtake one in flight.
    if (record.sendAhead != nullptr) {
        result = -EAGAIN;
        return true;
    }
    if (call.bytes == 0 || call.bytes > kMostBytesSentAhead || (call.flags & ~MSG_NOSIGNAL) != 0 ||
        !record.readsHere || !state.buffers.registered) {
        return false;
    }
    io_uring_sqe* entry = nextEntry(state);
    if (entry == nullptr) return false;
    UringOperation* ahead = takeOperation(state, OperationKind::SendAhead, call.socket);
    ahead->bytes.assign(static_cast<const char*>(call.buffer), call.bytes);
    ahead->entry = entry;
    // MSG_WAITALL: the kernel sends every byte, waiting for room if it must.
    // Sends go ahead only where the buffer ring registered (5.19 or later),
    // and kernels from 5.18 on honour the flag; a send the kernel still ends
    // short reaches the socket's next receive as an error (endSendAhead).
    io_uring_prep_send(entry, call.socket, ahead->bytes.data(), ahead->bytes.size(),
                       MSG_NOSIGNAL | MSG_WAITALL);
    entry->flags |= IOSQE_CQE_SKIP_SUCCESS;
    io_uring_sqe_set_data(entry, ahead);
    state.unsubmittedAheads.push_back(ahead);
    record.sendAhead = ahead;
    result = static_cast<long>(call.bytes);
    return true;
}
