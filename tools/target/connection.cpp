#include "connection.h"

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>

#include "answering.h"
#include "request_head.h"
#include "stall_mode.h"

namespace target {

namespace {

constexpr size_t kMaxRequestHeadBytes = 64 * 1024;
constexpr size_t kReadChunkBytes = 4 * 1024;  // requests are small; keeps thread stacks shallow

// One connection's reading state.
struct Connection {
    int fd = -1;                // the accepted socket
    std::string input;          // received bytes not yet taken as requests
    int64_t answeredCount = 0;  // final answers this connection asked for, for --close-every
};

// Index just past the blank line that ends a head, or npos. Scanning starts at
// `from` so that each new read only looks at the new bytes and the two before.
size_t findHeadEnd(std::string_view input, size_t from) {
    for (size_t index = input.find('\n', from); index != std::string_view::npos;
         index = input.find('\n', index + 1)) {
        if (index + 1 < input.size() && input[index + 1] == '\n') return index + 2;
        if (index + 2 < input.size() && input[index + 1] == '\r' && input[index + 2] == '\n') {
            return index + 3;
        }
    }
    return std::string_view::npos;
}

bool receiveMore(Connection& connection) {
    char chunk[kReadChunkBytes];
    ssize_t got;
    do {
        got = recv(connection.fd, chunk, sizeof chunk, 0);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) return false;
    connection.input.append(chunk, size_t(got));
    return true;
}

enum class ReadStatus { Request, Closed, TooLarge };

// Waits until a whole request head has arrived and moves it out of the input.
ReadStatus readRequestHead(Connection& connection, std::string& head) {
    size_t scanFrom = 0;
    while (true) {
        const size_t end = findHeadEnd(connection.input, scanFrom);
        if (end != std::string_view::npos) {
            head.assign(connection.input, 0, end);
            connection.input.erase(0, end);
            return ReadStatus::Request;
        }
        if (connection.input.size() > kMaxRequestHeadBytes) return ReadStatus::TooLarge;
        scanFrom = connection.input.size() < 2 ? 0 : connection.input.size() - 2;
        if (!receiveMore(connection)) return ReadStatus::Closed;
    }
}

// Ends the stream, then reads and drops what the client still sends for up to
// a second: closing with unread input would reset and could destroy the answer.
void closeGracefully(int fd) {
    shutdown(fd, SHUT_WR);
    const Clock::time_point giveUpAt = Clock::now() + std::chrono::seconds(1);
    char sink[4096];
    for (Clock::time_point now = Clock::now(); now < giveUpAt; now = Clock::now()) {
        pollfd waiter{fd, POLLIN, 0};
        const auto leftMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(giveUpAt - now).count();
        if (poll(&waiter, 1, int(leftMs) + 1) <= 0) break;
        if (recv(fd, sink, sizeof sink, 0) <= 0) break;
    }
    close(fd);
}

void serveConnection(int fd, const Server& server) {
    Connection connection{fd, {}, 0};
    const Options& options = server.options;
    Ending ending = Ending::KeepOpen;
    std::string head;
    while (ending == Ending::KeepOpen) {
        const ReadStatus status = readRequestHead(connection, head);
        if (status == ReadStatus::Closed) break;
        const Request request = status == ReadStatus::TooLarge
                                    ? Request{431, "request head too large", false, false}
                                    : parseRequest(head);
        if (request.errorStatus != 0) {
            sendRefusal(fd, request.errorStatus, request.errorText);
            ending = Ending::Graceful;
            break;
        }
        if (Clock::now() >= server.failAt) continue;  // failing: read on, answer nothing
        noteRequestArrival();
        const int64_t number = ++connection.answeredCount;
        const bool closing = request.wantsClose || modeAlwaysCloses(options.mode) ||
                             (options.closeEvery > 0 && number % options.closeEvery == 0);
        ending = answerRequest(fd, server, closing);
    }
    if (ending == Ending::Graceful) {
        closeGracefully(fd);
    } else {
        close(fd);
    }
}

// What a new connection thread is handed.
struct ThreadStart {
    int fd;                // the accepted socket, owned by the thread from then on
    const Server* server;  // shared, read-only settings
};

void* connectionThread(void* argument) {
    const ThreadStart start = *static_cast<ThreadStart*>(argument);
    delete static_cast<ThreadStart*>(argument);
    try {
        serveConnection(start.fd, *start.server);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "velkor_target: connection dropped: %s\n", error.what());
        close(start.fd);
    }
    return nullptr;
}

}  // namespace

// Serves the socket on a detached thread with a 64 KiB stack; without one, drops it.
void startConnectionThread(int fd, const Server& server) {
    static std::atomic<bool> warned{false};
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, std::max<size_t>(64 * 1024, PTHREAD_STACK_MIN));
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    auto* start = new ThreadStart{fd, &server};
    pthread_t thread;
    const int error = pthread_create(&thread, &attributes, connectionThread, start);
    pthread_attr_destroy(&attributes);
    if (error == 0) return;
    delete start;
    close(fd);
    if (!warned.exchange(true)) {
        std::fprintf(stderr,
                     "velkor_target: cannot start a connection thread (%s); "
                     "dropping connections\n",
                     std::strerror(error));
    }
}

}  // namespace target
