#include "platform/net/source_bind.h"

// Winsock has no way to defer the port to connect: port 0 takes one from the
// address's range at bind.
bool bindToSourceAddress(SOCKET socket, const SocketAddress& address) {
    return bind(socket, asSockaddr(address), static_cast<int>(address.length)) == 0;
}
