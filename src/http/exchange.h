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
    std::int64_t responseEndNs =
        0;  // arrival of the last answered response's last byte, monotonic ns
    // Exchanges that end before this instant (monotonic ns; the warm-up's
    // end) count in no request figure, neither as completed nor as errors.
    std::int64_t countFromNs = INT64_MIN;
    bool counted = false;           // the last exchange counted in the request figures
    bool closedByServer = false;    // the server ended the connection in the last exchange
    bool handshakeRefused = false;  // the server refused the TLS handshake only after it
                                    // (TLS 1.3): the connect failed, as far as the client goes
};

// Sends the request and reads exactly one whole response. Returns the latency
// in nanoseconds, from the start to the arrival of the response's last byte,
// and counts one completed request; or -1 after counting one error. Neither
// is counted when the exchange ends before state.countFromNs. An
// exchange still pending at giveUpNs is abandoned as failed. INVALID_SOCKET
// gives -1 and counts nothing. The socket is never closed here.
std::int64_t sendRequest(SOCKET socket, std::string_view requestText, ExchangeState& state,
                         std::int64_t giveUpNs);

// The same on a client connection, which may carry TLS; the bytes sent and
// read above TLS are those of a plain connection.
std::int64_t sendRequest(const ClientConnection& connection, std::string_view requestText,
                         ExchangeState& state, std::int64_t giveUpNs);
