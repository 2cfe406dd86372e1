// One timed request and response on an open keep-alive connection.
#pragma once

#include <cstdint>
#include <string_view>

#include "http/client_connection.h"
#include "http/response_framer.h"
#include "platform/platform.h"

struct ExchangeState {
    ResponseFramer framer;         // reads one whole response; reused to keep its buffer
    bool reconnectNeeded = false;  // the last response ended the connection's usefulness
};

// Sends the request and reads exactly one whole response. Returns the latency
// in whole milliseconds, from the start to the arrival of the response's last
// byte, and counts one completed request; or -1 after counting one error. An
// exchange still pending at giveUpNs is abandoned as failed. INVALID_SOCKET
// gives -1 and counts nothing. The socket is never closed here.
std::int32_t sendRequest(SOCKET socket, std::string_view requestText, ExchangeState& state,
                         std::int64_t giveUpNs);

// The same on a client connection, which may carry TLS; the bytes sent and
// read above TLS are those of a plain connection.
std::int32_t sendRequest(const ClientConnection& connection, std::string_view requestText,
                         ExchangeState& state, std::int64_t giveUpNs);
