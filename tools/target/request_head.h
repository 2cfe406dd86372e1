// Reading a request head and refusing the requests the server does not take.
#pragma once

#include <string>
#include <string_view>

namespace target {

// What the server needs to know about one request head.
struct Request {
    int errorStatus = 0;      // 0 when the request is acceptable, else the status to refuse it with
    std::string errorText;    // why it was refused, sent as the body of the refusal
    bool wantsClose = false;  // the client asked for the connection to end after the answer
    bool wantsKeepAlive = false;  // an HTTP/1.0 client asked to keep the connection
};

// Reads a request head; bare LF line ends are accepted as well as CRLF.
Request parseRequest(std::string_view head);

// Refuses a request with a short text saying why; the connection ends after it.
void sendRefusal(int fd, int status, const std::string& text);

}  // namespace target
