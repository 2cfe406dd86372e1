// The ring of provided receive buffers of an io_uring worker.
#include "platform/uring/uring_receive_buffers_posix.h"

#include <sys/mman.h>

namespace {

constexpr std::size_t kRingBytes = kReceiveBufferCount * sizeof(io_uring_buf);
constexpr std::size_t kBufferAreaBytes =
    static_cast<std::size_t>(kReceiveBufferCount) * kReceiveBufferBytes;

void* mapAnonymous(std::size_t bytes) {
    void* area = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return area == MAP_FAILED ? nullptr : area;
}

}  // namespace

bool setUpReceiveBuffers(io_uring& ring, ReceiveBuffers& buffers) {
    buffers.ring = static_cast<io_uring_buf_ring*>(mapAnonymous(kRingBytes));
    buffers.bytes = static_cast<char*>(mapAnonymous(kBufferAreaBytes));
    if (buffers.ring == nullptr || buffers.bytes == nullptr) return false;
    io_uring_buf_reg registration{};
    registration.ring_addr = reinterpret_cast<std::uintptr_t>(buffers.ring);
    registration.ring_entries = kReceiveBufferCount;
    registration.bgid = kReceiveBufferGroup;
    if (io_uring_register_buf_ring(&ring, &registration, 0) != 0) return false;
    buffers.registered = true;
    io_uring_buf_ring_init(buffers.ring);
    const int mask = io_uring_buf_ring_mask(kReceiveBufferCount);
    for (unsigned id = 0; id < kReceiveBufferCount; ++id) {
        io_uring_buf_ring_add(buffers.ring, receiveBuffer(buffers, id), kReceiveBufferBytes,
                              static_cast<unsigned short>(id), mask, static_cast<int>(id));
    }
    io_uring_buf_ring_advance(buffers.ring, kReceiveBufferCount);
    return true;
}

// After the ring itself is gone, which releases the kernel's hold on them.
void tearDownReceiveBuffers(io_uring& /*ring*/, ReceiveBuffers& buffers) {
    if (buffers.ring != nullptr) munmap(buffers.ring, kRingBytes);
    if (buffers.bytes != nullptr) munmap(buffers.bytes, kBufferAreaBytes);
    buffers = ReceiveBuffers{};
}

char* receiveBuffer(ReceiveBuffers& buffers, unsigned id) {
    return buffers.bytes + static_cast<std::size_t>(id) * kReceiveBufferBytes;
}

void giveBackBuffer(ReceiveBuffers& buffers, unsigned id) {
    io_uring_buf_ring_add(buffers.ring, receiveBuffer(buffers, id), kReceiveBufferBytes,
                          static_cast<unsigned short>(id),
                          io_uring_buf_ring_mask(kReceiveBufferCount), 0);
    io_uring_buf_ring_advance(buffers.ring, 1);
}
