// A keep-alive server closes connections left idle for a while (nginx's
// keepalive_timeout). Such a close is no failure of any request, so a client
// looks for it before it sends on a connection that has been idle.
#pragma once

#include "platform/platform.h"

// True when the connection can no longer carry a request: the server's end
// of stream or reset is already there, or bytes that answer no request of
// ours. One non-blocking peek; nothing is consumed. Call it only after an idle
// spell: it costs a system call.
bool closedWhileIdle(SOCKET socket);
