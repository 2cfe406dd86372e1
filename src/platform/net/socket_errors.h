// What a failed socket call's error code means to a caller that sorts its
// errors by kind. The codes differ between the systems (errno, Winsock's
// WSAE... codes); the meanings the caller needs do not.
#pragma once

// The meaning of a socket error code.
enum class SocketFailure {
    Refused,   // the peer refused the connection (nothing listens there)
    Reset,     // the peer reset or aborted the connection, or it was shut down
    TimedOut,  // the system gave up waiting for the peer
    Other,     // anything else; the code itself tells
};

// The code of the calling thread's last failed socket call.
int lastSocketErrorCode();

SocketFailure socketFailureOf(int errorCode);
