// Binding a client socket to one of the machine's own IPv4 or IPv6 addresses
// before it connects, so that connections can leave from several addresses
// and so use more than one address's range of ephemeral ports.
#pragma once

#include "platform/net/socket_address.h"

// Binds the socket to address (of the socket's family) with no fixed port;
// the port is still chosen when the socket connects. False when the system
// refuses (the address is not the machine's own, or the socket is unusable).
bool bindToSourceAddress(SOCKET socket, const SocketAddress& address);

// Windows: binds a socket about to connect with ConnectEx, which wants it
// bound, to the wildcard address of family (AF_INET or AF_INET6); one bound
// already to a source address keeps it. False when no port could be had.
bool bindForConnectEx(SOCKET socket, int family);
