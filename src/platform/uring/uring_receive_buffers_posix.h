// Buffers the kernel picks from when a socket wait under io_uring receives
// as it ends: one ring of them per worker, so the memory they take does not
// grow with the clients, and a client holds one only between the arrival of
// its bytes and its receive call.
#pragma once

#include <cstddef>
#include <liburing.h>

struct ReceiveBuffers {
    io_uring_buf_ring* ring = nullptr;  // the ring the kernel takes buffers from, shared with it
    char* bytes = nullptr;              // every buffer, one after another
    bool registered = false;            // the kernel knows the ring; false: waits only poll
};

inline constexpr unsigned kReceiveBufferCount = 256;      // buffers per worker
inline constexpr unsigned kReceiveBufferBytes = 4096;     // bytes per buffer
inline constexpr unsigned short kReceiveBufferGroup = 0;  // the group receives select from

// False when the kernel offers no buffer rings (before 5.19); waits then poll.
bool setUpReceiveBuffers(io_uring& ring, ReceiveBuffers& buffers);
void tearDownReceiveBuffers(io_uring& ring, ReceiveBuffers& buffers);
char* receiveBuffer(ReceiveBuffers& buffers, unsigned id);
// Hands a buffer whose bytes have been taken back to the kernel.
void giveBackBuffer(ReceiveBuffers& buffers, unsigned id);
