// Windows has no per-process socket limit to ask for; what bounds the clients
// is the local port each connection takes from the dynamic port range, 16,384
// ports (49152 to 65535) by default. Connections from one address to one
// target cannot outnumber them; each --source address has a range of its own,
// so with several the clients may number that many ranges.
#include "platform/net/socket_limit.h"

namespace {

constexpr std::int64_t kDynamicPortCount = 16'384;

}  // namespace

std::int64_t maxOpenSockets(std::size_t sourceAddressCount) {
    const auto ranges = static_cast<std::int64_t>(sourceAddressCount > 0 ? sourceAddressCount : 1);
    return kDynamicPortCount * ranges;
}
