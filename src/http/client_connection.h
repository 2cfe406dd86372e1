// A client's connection to the target as the exchange sees it: a TCP socket,
// with TLS over it when the URL is https://.
#pragma once

#include <cstdint>

#include "config/test_config.h"
#include "platform/tls/tls_stream.h"

struct ClientConnection {
    SOCKET socket = INVALID_SOCKET;  // the TCP connection; INVALID_SOCKET when none is open
    TlsStream* tls = nullptr;        // TLS over the socket for https; null for http
    bool counted = false;            // counted among the connections held until it closes
};

// Opens the connection: the TCP connect, then for https the TLS handshake,
// both bounded by giveUpNs, so neither counts in any latency. A failure counts
// one error and leaves the connection closed. A refused certificate is also
// reported on standard error, once per run. session (may be null) holds the
// client's TLS session, offered for resumption and refreshed by the server.
// A handshake begun after quietAfterNs that giveUpNs cuts off counts no
// error: the client stopped waiting, the server had not failed. An open
// connection is counted with its connect and handshake times, as reopened
// when reopen is set (not the client's first).
ClientConnection openClientConnection(const TestConfig& config, std::int64_t giveUpNs,
                                      std::int32_t localClientIndex, TlsSession* session,
                                      std::int64_t quietAfterNs = INT64_MAX, bool reopen = false);

// Writes the line for a certificate refused in a handshake, the server's or,
// by the server, the client's: once per run, however many connects it stops.
// Nothing for Open or Failed.
void reportRefusedCertificate(TlsOpenResult result);

// Closes the connection, if open; it is then closed (socket INVALID_SOCKET)
// and no longer counted as held.
void closeClientConnection(ClientConnection& connection);

// For a connection that sat idle: true when it can no longer carry a request
// (see closedWhileIdle). Never waits for the server; under io_uring the look
// still takes one turn of the worker's loop, as every call there does.
bool connectionClosedWhileIdle(ClientConnection& connection);
