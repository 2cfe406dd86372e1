// A listening TCP socket for velkor's own small server (the metrics
// endpoint): opened with a reason when the address is taken, waited on
// together with the connections it took, and each connection closed once its
// answer is sent. The systems differ in how an address is held exclusively,
// in their wait calls and in their error codes.
#pragma once

#include <cstddef>

#include "platform/os/system_api.h"

// Why a listening socket could not be opened.
enum class ListenFailure {
    None,
    InUse,     // another socket holds the address and port
    NotLocal,  // the address is none of this machine's own
    Other,     // anything else: no socket left, no permission
};

// A non-blocking socket listening on address, held by this process alone;
// INVALID_SOCKET, with the reason in failure, when the system refuses.
SOCKET openListeningSocket(const sockaddr_in& address, ListenFailure& failure);

// Waits at most timeoutMs (0 polls once) until one of count sockets has
// something to read (a listening one: a connection waiting; any: its peer
// closed). Sets readable[i] for each; returns how many, 0 on timeout, -1 when
// the wait failed.
int waitForReadable(const SOCKET* sockets, bool* readable, std::size_t count, int timeoutMs);

// A connection waiting on the listener, non-blocking; INVALID_SOCKET when none waits.
SOCKET acceptWaiting(SOCKET listener);

// Ends the sending side, so the peer reads the answer to its end, and closes.
void closeAfterAnswer(SOCKET socket);
