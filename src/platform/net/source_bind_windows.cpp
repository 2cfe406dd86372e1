#include "platform/net/source_bind.h"

// Winsock has no way to defer the port to connect: port 0 takes one from the
// address's range at bind.
bool bindToSourceAddress(SOCKET socket, const in_addr& address) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = address;
    local.sin_port = 0;
    return bind(socket, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) == 0;
}
