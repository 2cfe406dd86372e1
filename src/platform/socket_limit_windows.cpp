// Windows has no per-process socket limit to ask for; what bounds the clients
// is the local port each connection takes from the dynamic port range, 16,384
// ports (49152 to 65535) by default. Connections from one address to one
// target cannot outnumber them, so neither can this process's clients.
#include "platform/socket_limit.h"

namespace {

constexpr std::int64_t kDynamicPortCount = 16'384;

}  // namespace

std::int64_t maxOpenSockets() {
    return kDynamicPortCount;
}
