// How many sockets this process can hold open at once: every client holds
// one, so a run needing more would only turn the excess into errors.
#pragma once

#include <cstddef>
#include <cstdint>

// Call after WSAStartup, which on POSIX raises the open-file limit first.
// sourceAddressCount is the number of --source addresses the connections
// leave from, 0 when the system picks the one local address.
std::int64_t maxOpenSockets(std::size_t sourceAddressCount);
