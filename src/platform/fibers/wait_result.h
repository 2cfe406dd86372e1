// What a fiber may wait for on a socket, and how the wait ends: the words
// the scheduler, its pollers and the socket waits above them share.
#pragma once

enum class SocketWait {
    Readable,  // data, end of stream or an error can be read
    Writable,  // a send can make progress, or a pending connect has finished
};

enum class WaitResult {
    Ready,     // the socket is ready in the asked direction (or has an error to report)
    TimedOut,  // nothing happened within the time given
    Failed,    // the wait itself failed
};
