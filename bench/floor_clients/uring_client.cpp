// The floor's second client: one io_uring loop for every connection. Each
// request is a send linked to the receive of its answer; every loop turn is
// one io_uring_enter that submits what the last turn's completions asked for
// and waits for the next ones.
// Usage: uring_client PORT PATH CLIENTS SECONDS [VARIANT]; prints
// "requests N seconds S". VARIANT measures what one io_uring feature, or its
// absence, costs against that loop:
//   apart      each send is its own send() system call, not a submission
//   multishot  one multishot receive per connection into a ring of provided
//              buffers, armed once, instead of a receive per answer
//   fixed      the sockets are registered files
#include <chrono>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <liburing.h>
#include <string>
#include <sys/mman.h>
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
bool g_apart = false;      // sends are system calls of their own
bool g_multishot = false;  // receives are one multishot per connection
bool g_fixed = false;      // sockets are registered files, by their index

constexpr unsigned kBuffers = 1024;      // provided buffers for multishot receives
constexpr unsigned kBufferBytes = 4096;  // bytes per provided buffer
io_uring_buf_ring* g_bufferRing = nullptr;
std::vector<char> g_bufferBytes;

void provideBuffer(unsigned id) {
    io_uring_buf_ring_add(g_bufferRing, g_bufferBytes.data() + std::size_t{id} * kBufferBytes,
                          kBufferBytes, static_cast<unsigned short>(id),
                          io_uring_buf_ring_mask(kBuffers), 0);
    io_uring_buf_ring_advance(g_bufferRing, 1);
}

bool setUpBuffers() {
    void* ring = mmap(nullptr, kBuffers * sizeof(io_uring_buf), PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (ring == MAP_FAILED) return false;
    g_bufferRing = static_cast<io_uring_buf_ring*>(ring);
    io_uring_buf_reg registration{};
    registration.ring_addr = reinterpret_cast<std::uintptr_t>(ring);
    registration.ring_entries = kBuffers;
    if (io_uring_register_buf_ring(&g_ring, &registration, 0) != 0) return false;
    io_uring_buf_ring_init(g_bufferRing);
    g_bufferBytes.resize(std::size_t{kBuffers} * kBufferBytes);
    for (unsigned id = 0; id < kBuffers; ++id) provideBuffer(id);
    return true;
}

// The socket as a submission names it: its registered index or its number.
void setFile(io_uring_sqe* sqe, const Connection& connection, std::size_t index) {
    if (!g_fixed) return;
    sqe->fd = static_cast<int>(index);
    sqe->flags |= IOSQE_FIXED_FILE;
    (void)connection;
}

io_uring_sqe* entry() {
    io_uring_sqe* sqe = io_uring_get_sqe(&g_ring);
    if (sqe == nullptr) {
        io_uring_submit(&g_ring);
        sqe = io_uring_get_sqe(&g_ring);
    }
    return sqe;
}

void receiveMore(Connection& connection, std::size_t index) {
    if (g_multishot) return;  // the connection's multishot receive stays armed
    io_uring_sqe* sqe = entry();
    io_uring_prep_recv(sqe, connection.socketFd, connection.buffer + connection.have,
                       sizeof(connection.buffer) - connection.have, 0);
    setFile(sqe, connection, index);
    io_uring_sqe_set_data64(sqe, index);
}

void armMultishot(Connection& connection, std::size_t index) {
    io_uring_sqe* sqe = entry();
    io_uring_prep_recv_multishot(sqe, connection.socketFd, nullptr, 0, 0);
    sqe->flags |= IOSQE_BUFFER_SELECT;
    sqe->buf_group = 0;
    setFile(sqe, connection, index);
    io_uring_sqe_set_data64(sqe, index);
}

void sendRequest(Connection& connection, std::size_t index) {
    connection.have = 0;
    if (g_apart) {
        if (send(connection.socketFd, g_request.data(), g_request.size(), MSG_NOSIGNAL) < 0) {
            return;
        }
        receiveMore(connection, index);
        return;
    }
    io_uring_sqe* sqe = entry();
    io_uring_prep_send(sqe, connection.socketFd, g_request.data(), g_request.size(), MSG_NOSIGNAL);
    setFile(sqe, connection, index);
    sqe->flags |= IOSQE_CQE_SKIP_SUCCESS | (g_multishot ? 0 : IOSQE_IO_LINK);
    io_uring_sqe_set_data64(sqe, ~0ULL);
    receiveMore(connection, index);
}

// Bytes a completion brought into the connection's answer so far.
bool takeCompletion(Connection& connection, std::size_t index, const io_uring_cqe* cqe) {
    if (cqe->res <= 0) return false;
    if (g_multishot) {
        const unsigned id = cqe->flags >> IORING_CQE_BUFFER_SHIFT;
        const auto bytes = static_cast<std::size_t>(cqe->res);
        if (connection.have + bytes <= sizeof(connection.buffer)) {
            std::memcpy(connection.buffer + connection.have,
                        g_bufferBytes.data() + std::size_t{id} * kBufferBytes, bytes);
        }
        provideBuffer(id);
        if ((cqe->flags & IORING_CQE_F_MORE) == 0) armMultishot(connection, index);
    }
    connection.have += static_cast<std::size_t>(cqe->res);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5 && argc != 6) {
        std::fprintf(stderr, "usage: uring_client PORT PATH CLIENTS SECONDS [VARIANT]\n");
        return 1;
    }
    const std::string variant = argc == 6 ? argv[5] : "";
    g_apart = variant == "apart";
    g_multishot = variant == "multishot";
    g_fixed = variant == "fixed";
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
    if (g_multishot && !setUpBuffers()) {
        std::fprintf(stderr, "no buffer rings\n");
        return 1;
    }
    const auto started = std::chrono::steady_clock::now();
    const auto end = started + std::chrono::seconds(seconds);
    std::vector<Connection> connections(clients);
    std::size_t running = 0;
    for (std::size_t index = 0; index < clients; ++index) {
        connections[index].socketFd = connectToLoopback(std::atoi(argv[1]));
    }
    if (g_fixed) {
        std::vector<int> files;
        for (const Connection& connection : connections) files.push_back(connection.socketFd);
        if (io_uring_register_files(&g_ring, files.data(), static_cast<unsigned>(files.size())) !=
            0) {
            std::fprintf(stderr, "files not registered\n");
            return 1;
        }
    }
    for (std::size_t index = 0; index < clients; ++index) {
        if (connections[index].socketFd < 0) continue;
        if (g_multishot) armMultishot(connections[index], index);
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
            if (!takeCompletion(connection, index, cqe)) {
                --running;
                continue;
            }
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
