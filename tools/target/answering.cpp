#include "answering.h"

#include <string>

#include "socket_send.h"

namespace target {

namespace {

// The fault modes: answers that are torn, malformed or cut off on purpose.
// None of them counts as served.
Ending sendFault(int fd, Mode mode) {
    const std::string bodyPart(100, 'x');
    const std::string longHead =
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 1000\r\n\r\n";
    bool sent = true;
    switch (mode) {
        case Mode::ResetInHeader:
        case Mode::ResetInBody:
            if (mode == Mode::ResetInHeader) {
                sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n");
            } else {
                sendAll(fd, longHead, bodyPart);
            }
            sleepMs(20);  // lets the partial bytes reach the client before the reset
            armReset(fd);
            return Ending::Abrupt;
        case Mode::CloseAfterHeader:
            sent = sendAll(fd, longHead);
            break;
        case Mode::Garbage:
            sent = sendAll(fd, "NOT HTTP AT ALL\r\n\r\n");
            break;
        default:  // bad-chunk
            sent = sendAll(fd, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n",
                           "zz\r\nab\r\n0\r\n\r\n");
            break;
    }
    return sent ? Ending::Graceful : Ending::Abrupt;
}

}  // namespace

Ending answerRequest(int fd, const Server& server, bool closing) {
    const Mode mode = server.options.mode;
    const Answer& answer = server.answer;
    const std::string& head = closing ? answer.closingHead : answer.head;
    switch (mode) {
        case Mode::Never:
            return Ending::KeepOpen;
        case Mode::CloseAtOnce:
            return Ending::Abrupt;
        case Mode::ResetInHeader:
        case Mode::ResetInBody:
        case Mode::CloseAfterHeader:
        case Mode::Garbage:
        case Mode::BadChunk:
            return sendFault(fd, mode);
        case Mode::Delay:
            sleepMs(server.options.delayMs);
            break;
        default:
            break;
    }
    g_sendingCount.fetch_add(1);
    bool sent = false;
    switch (mode) {
        case Mode::Trickle:
            sent = sendTrickle(fd, head, answer.payload);
            break;
        case Mode::SplitHeader:
            sent = sendSplitHeader(fd, head, answer.payload);
            break;
        default:
            sent = sendAll(fd, head, answer.payload);
            break;
    }
    if (sent) g_servedCount.fetch_add(1);
    g_sendingCount.fetch_sub(1);  // only after the count: the exit reads these in the other order
    if (!sent) return Ending::Abrupt;
    return closing ? Ending::Graceful : Ending::KeepOpen;
}

}  // namespace target
