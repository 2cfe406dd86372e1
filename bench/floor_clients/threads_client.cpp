// The floor's first client: one thread per connection, each making blocking
// send and recv calls, one request and its whole response after another.
// Usage: threads_client PORT PATH CLIENTS SECONDS; prints "requests N seconds S".
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "floor_client.h"

namespace {

std::atomic<long> g_requests{0};
std::atomic<bool> g_stop{false};
std::string g_request;
int g_port = 0;

void* connectionMain(void*) {
    const int socketFd = connectToLoopback(g_port);
    if (socketFd < 0) return nullptr;
    char buffer[16384];
    long mine = 0;
    while (!g_stop.load(std::memory_order_relaxed)) {
        if (send(socketFd, g_request.data(), g_request.size(), MSG_NOSIGNAL) <= 0) break;
        std::size_t have = 0;
        std::size_t whole = 0;
        while (whole == 0 || have < whole) {
            const ssize_t got = recv(socketFd, buffer + have, sizeof(buffer) - have, 0);
            if (got <= 0) goto done;
            have += static_cast<std::size_t>(got);
            whole = responseBytes(buffer, have);
        }
        ++mine;
    }
done:
    g_requests += mine;
    close(socketFd);
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: threads_client PORT PATH CLIENTS SECONDS\n");
        return 1;
    }
    g_port = std::atoi(argv[1]);
    g_request = std::string("GET ") + argv[2] +
                " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: keep-alive\r\n\r\n";
    const int clients = std::atoi(argv[3]);
    const int seconds = std::atoi(argv[4]);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 64 * 1024);
    const auto started = std::chrono::steady_clock::now();
    std::vector<pthread_t> threads(static_cast<std::size_t>(clients));
    for (auto& thread : threads) pthread_create(&thread, &attributes, connectionMain, nullptr);
    sleep(static_cast<unsigned>(seconds));
    g_stop = true;
    for (auto& thread : threads) pthread_join(thread, nullptr);
    const double lasted =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("requests %ld seconds %.3f\n", g_requests.load(), lasted);
    return 0;
}
