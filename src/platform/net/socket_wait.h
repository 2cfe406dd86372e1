// Bounded waits on a non-blocking socket. The Winsock and POSIX readiness calls
// differ (select's fd_set cannot hold descriptors above 1023 on POSIX, WSAPoll
// misses refused connects on older Windows), so each system gets its own.
#pragma once

#include <cstdint>

#include "platform/fibers/wait_result.h"
#include "platform/os/system_api.h"

// Waits at most timeoutMs milliseconds (0 polls once). Call it only when the
// socket may have nothing to give: after a would-block, after a receive that
// returned less than asked, or before the first receive of a response. Pool
// workers on POSIX wait edge-triggered and would not see bytes left behind.
WaitResult waitForSocket(SOCKET socket, SocketWait direction, int timeoutMs);

// The earliest monotonic instant, in ns, at which the socket of this client's
// last waitForSocket that returned Ready may have become ready. A connect is
// judged by it: a handshake seen late by a busy pool worker still counts as
// done when it was, and one that finished after a deadline does not.
std::int64_t socketReadySinceNs();

// The error a finished non-blocking connect left on the socket; 0 when it succeeded.
int pendingSocketError(SOCKET socket);

// Puts the socket in non-blocking mode; false when the system refused.
bool makeNonBlocking(SOCKET socket);

// True when the last failed socket call would have blocked (or a connect is under way).
bool lastSocketCallWouldBlock();
