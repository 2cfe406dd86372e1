// Windows has Unix sockets from Windows 10 1803 on, but Wine, on which the
// Windows build is tested, refuses the family (WSAEAFNOSUPPORT). Untested,
// they are left out of this build: --unix-socket is refused before the run.
#include "platform/net/socket_address.h"

bool unixSocketsSupported() {
    return false;
}

bool unixSocketAddress(std::string_view, SocketAddress&) {
    return false;
}
