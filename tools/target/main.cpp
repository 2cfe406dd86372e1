// velkor_target: the HTTP/1.1 server that velkor's integration, demo and
// fault-injection tests aim at. It answers every GET the same way, chosen by
// --mode, and can misbehave on purpose (resets, garbage, stalls, slow bytes).
//
// Linux only. Each accepted connection gets its own thread with a small stack,
// so the behaviours that pause (delay, trickle, split-header) are plain sleeps
// and thousands of idle keep-alive connections cost only memory. The main
// thread accepts, keeps the stop and refuse deadlines, and waits for signals.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "answer.h"
#include "connection.h"
#include "options.h"
#include "server_state.h"
#include "socket_send.h"
#include "stall_mode.h"

namespace {

using namespace target;

// Takes every connection waiting in the backlog.
void acceptPending(int listenFd, const Server& server) {
    static bool warned = false;
    while (true) {
        const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            g_acceptedCount.fetch_add(1);
            const int one = 1;  // answers written in pieces must not wait for Nagle
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            startConnectionThread(fd, server);
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return;
        if (!warned) {
            std::fprintf(stderr, "velkor_target: accept failed: %s\n", std::strerror(errno));
            warned = true;
        }
        sleepMs(10);  // out of descriptors or memory: let connections end before retrying
        return;
    }
}

// The listening socket on 127.0.0.1, or -1 after saying why on stderr.
int openListener(int64_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::fprintf(stderr, "velkor_target: socket: %s\n", std::strerror(errno));
        return -1;
    }
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 65'535) != 0) {
        std::fprintf(stderr, "velkor_target: cannot listen on 127.0.0.1:%lld: %s\n",
                     static_cast<long long>(port), std::strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

int boundPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// Thousands of connections need as many descriptors as the hard limit allows.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) == 0) return;
    limit.rlim_cur = 1 << 20;  // an unlimited hard limit is still capped by the kernel
    setrlimit(RLIMIT_NOFILE, &limit);
}

// SIGINT and SIGTERM arrive as readable data on the returned descriptor. They
// are blocked before any thread starts, so every thread inherits the mask.
int blockStopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return signalfd(-1, &signals, SFD_CLOEXEC);
}

int msUntil(Clock::time_point deadline) {
    const auto leftMs =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return int(std::clamp<int64_t>(leftMs, 0, INT_MAX));
}

// Accepts until a stop signal or the stop time; closes the listener at the
// refuse time so that new connections are refused while open ones go on.
void runAcceptLoop(int listenFd, int signalFd, const Server& server, Clock::time_point stopAt,
                   Clock::time_point refuseAt) {
    while (Clock::now() < stopAt) {
        if (listenFd >= 0 && Clock::now() >= refuseAt) {
            close(listenFd);
            listenFd = -1;
        }
        pollfd waiters[2] = {{signalFd, POLLIN, 0}, {listenFd, POLLIN, 0}};
        const int timeoutMs = msUntil(listenFd >= 0 ? std::min(stopAt, refuseAt) : stopAt);
        const int ready = poll(waiters, listenFd >= 0 ? 2 : 1, timeoutMs);
        if (ready < 0 && errno != EINTR) {
            std::fprintf(stderr, "velkor_target: poll: %s\n", std::strerror(errno));
            return;
        }
        if (ready > 0 && waiters[0].revents != 0) return;
        if (ready > 0 && waiters[1].revents != 0) acceptPending(listenFd, server);
    }
}

// Lets answers being written finish, for a second at most: a client that
// stopped reading must not hold up the exit.
void waitForAnswersInFlight() {
    const Clock::time_point giveUpAt = Clock::now() + std::chrono::seconds(1);
    while (g_sendingCount.load() > 0 && Clock::now() < giveUpAt) sleepMs(1);
}

Clock::time_point deadlineAfter(Clock::time_point start, int64_t seconds) {
    return seconds < 0 ? Clock::time_point::max() : start + std::chrono::seconds(seconds);
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    const std::optional<Options> options = parseArgs(argc, argv, error);
    if (!options) {
        std::fprintf(stderr, "velkor_target: %s\n%s%s", error.c_str(), kUsage, kStallUsage);
        return 2;
    }
    if (options->showHelp) {
        std::fputs(kUsage, stdout);
        std::fputs(kStallUsage, stdout);
        return 0;
    }
    raiseDescriptorLimit();
    const int signalFd = blockStopSignals();
    const int listenFd = openListener(options->port);
    if (listenFd < 0 || signalFd < 0) return 1;
    const Clock::time_point start = Clock::now();
    const Server server{*options, buildAnswer(*options),
                        deadlineAfter(start, options->failAfterSec)};
    std::printf("listening on 127.0.0.1:%d\n", boundPort(listenFd));
    std::fflush(stdout);
    runAcceptLoop(listenFd, signalFd, server, deadlineAfter(start, options->stopAfterSec),
                  deadlineAfter(start, options->refuseAfterSec));
    waitForAnswersInFlight();
    writeArrivalLog();
    std::printf("served %llu\n", static_cast<unsigned long long>(g_servedCount.load()));
    if (options->countConnections) {
        std::printf("accepted %llu\n", static_cast<unsigned long long>(g_acceptedCount.load()));
    }
    std::fflush(stdout);
    // Connection threads may still be blocked in calls; ending the process
    // without running destructors under them is what makes the exit clean.
    _exit(0);
}
