#include "platform/net/socket_address.h"

#include <cstddef>
#include <sys/un.h>

bool unixSocketsSupported() {
    return true;
}

bool unixSocketAddress(std::string_view path, SocketAddress& address) {
    sockaddr_un unixAddress{};
    // The path needs its terminating zero byte inside sun_path.
    if (path.empty() || path.size() >= sizeof(unixAddress.sun_path) ||
        path.find('\0') != std::string_view::npos) {
        return false;
    }
    unixAddress.sun_family = AF_UNIX;
    std::memcpy(unixAddress.sun_path, path.data(), path.size());
    return copySocketAddress(reinterpret_cast<const sockaddr*>(&unixAddress),
                             offsetof(sockaddr_un, sun_path) + path.size() + 1, address);
}
