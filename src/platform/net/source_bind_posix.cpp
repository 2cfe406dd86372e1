#include "platform/net/source_bind.h"

bool bindToSourceAddress(SOCKET socket, const SocketAddress& address) {
#ifdef IP_BIND_ADDRESS_NO_PORT
    // Without it, bind would take a port for good from the address's range,
    // shared by every destination; with it, connect picks the port and may
    // reuse one already taken toward another destination. The option is
    // IPv4's by name but IPv6 sockets take it too.
    const int deferPort = 1;
    setsockopt(socket, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &deferPort, sizeof(deferPort));
#endif
    return bind(socket, asSockaddr(address), address.length) == 0;
}
