// Writing answers to a client's socket: whole, in pieces, or cut off by a reset.
#pragma once

#include <cstdint>
#include <string_view>

namespace target {

// Sends both pieces in full, in as few calls as the kernel allows; false once the peer is gone.
bool sendAll(int fd, std::string_view first, std::string_view second = {});

void sleepMs(int64_t durationMs);

// One byte every 10 ms, so a client sees the answer across dozens of reads.
bool sendTrickle(int fd, std::string_view head, std::string_view payload);

// Writes the head in four pieces 2 ms apart: cut in the status line, then twice
// inside the final "\r\n\r\n", so a client must find the blank line across reads.
bool sendSplitHeader(int fd, std::string_view head, std::string_view payload);

// Closing with SO_LINGER 0 sends a reset instead of the normal end of stream.
void armReset(int fd);

}  // namespace target
