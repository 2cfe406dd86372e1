#include "http/idle_close.h"

bool closedWhileIdle(SOCKET socket) {
    char firstByte = 0;
    // The socket is non-blocking, so an idle connection answers "would block".
    const auto peekedBytes = recv(socket, &firstByte, 1, MSG_PEEK);
    if (peekedBytes == SOCKET_ERROR) return !lastSocketCallWouldBlock();
    // 0 is the end of stream; anything else is text no request asked for
    // (a server's parting "408 Request Timeout"), which would be taken for
    // the next response.
    return true;
}
