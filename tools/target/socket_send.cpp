#include "socket_send.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

namespace target {

bool sendAll(int fd, std::string_view first, std::string_view second) {
    iovec pieces[2] = {{const_cast<char*>(first.data()), first.size()},
                       {const_cast<char*>(second.data()), second.size()}};
    size_t index = 0;
    while (index < 2) {
        if (pieces[index].iov_len == 0) {
            ++index;
            continue;
        }
        msghdr message{};
        message.msg_iov = pieces + index;
        message.msg_iovlen = 2 - index;
        ssize_t sent = sendmsg(fd, &message, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0) return false;
        for (size_t left = size_t(sent); left > 0;) {
            const size_t used = std::min(left, pieces[index].iov_len);
            pieces[index].iov_base = static_cast<char*>(pieces[index].iov_base) + used;
            pieces[index].iov_len -= used;
            left -= used;
            if (pieces[index].iov_len == 0) ++index;
        }
    }
    return true;
}

void sleepMs(int64_t durationMs) {
    std::this_thread::sleep_for(std::chrono::milliseconds(durationMs));
}

// One byte every 10 ms, so a client sees the answer across dozens of reads.
bool sendTrickle(int fd, std::string_view head, std::string_view payload) {
    const std::string whole = std::string(head) + std::string(payload);
    for (size_t index = 0; index < whole.size(); ++index) {
        if (index > 0) sleepMs(10);
        if (!sendAll(fd, whole.substr(index, 1))) return false;
    }
    return true;
}

// Writes the head in four pieces 2 ms apart: cut in the status line, then twice
// inside the final "\r\n\r\n", so a client must find the blank line across reads.
bool sendSplitHeader(int fd, std::string_view head, std::string_view payload) {
    const size_t cuts[] = {0, head.find("\r\n") / 2, head.size() - 3, head.size() - 1};
    for (size_t index = 0; index < 3; ++index) {
        if (index > 0) sleepMs(2);
        if (!sendAll(fd, head.substr(cuts[index], cuts[index + 1] - cuts[index]))) return false;
    }
    sleepMs(2);
    return sendAll(fd, head.substr(cuts[3]), payload);
}

void armReset(int fd) {
    linger option{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
}

}  // namespace target
