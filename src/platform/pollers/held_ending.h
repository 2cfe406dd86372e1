#pragma once
// What the completion pollers (uring/, iocp/) hold for a socket's next receive
// once its received bytes are taken: the end of the stream or an error. Their
// socket records differ; both name these two fields alike.

// The held end or error as the receive call would have met it: the end holds
// for every later receive, an error is reported once (a peek leaves it).
// False when neither is held, which leaves the call to the system.
template <typename SocketRecord>
bool takeHeldEnding(SocketRecord& record, bool peek, long& result) {
    if (record.heldEnd) {
        result = 0;
        return true;
    }
    if (record.heldError == 0) return false;
    result = -record.heldError;
    if (!peek) record.heldError = 0;
    return true;
}
