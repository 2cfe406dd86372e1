#include "platform/net/socket_errors.h"

#include <cerrno>

int lastSocketErrorCode() {
    return errno;
}

SocketFailure socketFailureOf(int errorCode) {
    switch (errorCode) {
        case ECONNREFUSED:
            return SocketFailure::Refused;
        case ECONNRESET:
        case ECONNABORTED:
        case EPIPE:  // a send after the peer's reset or close
            return SocketFailure::Reset;
        case ETIMEDOUT:
            return SocketFailure::TimedOut;
        default:
            return SocketFailure::Other;
    }
}
