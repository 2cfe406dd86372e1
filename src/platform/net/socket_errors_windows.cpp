#include "platform/net/socket_errors.h"

#include "platform/os/system_api.h"

int lastSocketErrorCode() {
    return WSAGetLastError();
}

SocketFailure socketFailureOf(int errorCode) {
    switch (errorCode) {
        case WSAECONNREFUSED:
            return SocketFailure::Refused;
        case WSAECONNRESET:
        case WSAECONNABORTED:
        case WSAENETRESET:
        case WSAESHUTDOWN:  // a send after the connection was shut down
            return SocketFailure::Reset;
        case WSAETIMEDOUT:
            return SocketFailure::TimedOut;
        default:
            return SocketFailure::Other;
    }
}
