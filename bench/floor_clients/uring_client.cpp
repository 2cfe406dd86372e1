// The floor's second client: one io_uring loop for every connection. Each
// request is a send linked to the receive of its answer; every loop turn is
// one io_uring_enter that submits what the last turn's completions asked for
// and waits for the next ones.
// Usage: uring_client PORT PATH CLIENTS SECONDS; prints "requests N seconds S".
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <liburing.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "floor_client.h"

namespace {

struct Connection {
    int socketFd = -1;     // its socket
    char buffer[4096];     // the answer so far
    std::size_t have = 0;  // bytes of it received
};

std::string g_request;
io_uring g_ring;

io_uring_sqe* entry() {
    io_uring_sqe* sqe = io_uring_get_sqe(&g_ring);
    if (sqe == nullptr) {
        io_uring_submit(&g_ring);
        sqe = io_uring_get_sqe(&g_ring);
    }
    return sqe;
}

void receiveMore(Connection& connection, std::size_t index) {
    io_uring_sqe* sqe = entry();
    io_uring_prep_recv(sqe, connection.socketFd, connection.buffer + connection.have,
                       sizeof(connection.buffer) - connection.have, 0);
    io_uring_sqe_set_data64(sqe, index);
}

void sendRequest(Connection& connection, std::size_t index) {
    connection.have = 0;
    io_uring_sqe* sqe = entry();
    io_uring_prep_send(sqe, connection.socketFd, g_request.data(), g_request.size(), MSG_NOSIGNAL);
    sqe->flags |= IOSQE_IO_LINK | IOSQE_CQE_SKIP_SUCCESS;
    io_uring_sqe_set_data64(sqe, ~0ULL);
    receiveMore(connection, index);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: uring_client PORT PATH CLIENTS SECONDS\n");
        return 1;
    }
    g_request = std::string("GET ") + argv[2] +
                " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: keep-alive\r\n\r\n";
    const auto clients = static_cast<std::size_t>(std::atoi(argv[3]));
    const auto seconds = std::atoi(argv[4]);
    io_uring_params params{};
    params.flags = IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN | IORING_SETUP_CQSIZE;
    params.cq_entries = 65536;
    if (io_uring_queue_init_params(4096, &g_ring, &params) != 0) {
        std::fprintf(stderr, "io_uring refused\n");
        return 1;
    }
    const auto started = std::chrono::steady_clock::now();
    const auto end = started + std::chrono::seconds(seconds);
    std::vector<Connection> connections(clients);
    std::size_t running = 0;
    for (std::size_t index = 0; index < clients; ++index) {
        connections[index].socketFd = connectToLoopback(std::atoi(argv[1]));
        if (connections[index].socketFd < 0) continue;
        sendRequest(connections[index], index);
        ++running;
    }
    long requests = 0;
    while (running > 0) {
        io_uring_submit_and_wait(&g_ring, 1);
        const bool stopping = std::chrono::steady_clock::now() >= end;
        unsigned head = 0;
        unsigned seen = 0;
        io_uring_cqe* cqe = nullptr;
        io_uring_for_each_cqe(&g_ring, head, cqe) {
            ++seen;
            const std::uint64_t index = io_uring_cqe_get_data64(cqe);
            if (index == ~0ULL) continue;  // a failed send; its receive fails too
            Connection& connection = connections[index];
            if (cqe->res <= 0) {
                --running;
                continue;
            }
            connection.have += static_cast<std::size_t>(cqe->res);
            const std::size_t whole = responseBytes(connection.buffer, connection.have);
            if (whole == 0 || connection.have < whole) {
                receiveMore(connection, index);
            } else if (++requests, stopping) {
                --running;
            } else {
                sendRequest(connection, index);
            }
        }
        io_uring_cq_advance(&g_ring, seen);
    }
    const double lasted =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("requests %ld seconds %.3f\n", requests, lasted);
    return 0;
}
