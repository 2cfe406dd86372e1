// How many sockets this process can hold open at once: every client holds
// one, so a run needing more would only turn the excess into errors.
#pragma once

#include <cstdint>

// Call after WSAStartup, which on POSIX raises the open-file limit first.
std::int64_t maxOpenSockets();
