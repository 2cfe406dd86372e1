#include "platform/net/source_bind.h"

bool bindToSourceAddress(SOCKET socket, const in_addr& address) {
#ifdef IP_BIND_ADDRESS_NO_PORT
    // Without it, bind would take a port for good from the address's range,
    // shared by every destination; with it, connect picks the port and may
    // reuse one already taken toward another destination.
    const int deferPort = 1;
    setsockopt(socket, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &deferPort, sizeof(deferPort));
#endif
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = address;
    local.sin_port = 0;
    return bind(socket, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) == 0;
}
