// The addresses a client connects to or leaves from, of any family: IPv4,
// IPv6, or the path of a Unix socket. One type for all of them lets the
// connection code open, bind and connect without knowing which it has.
#pragma once

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/os/system_api.h"

struct SocketAddress {
    sockaddr_storage bytes{};  // the address as the socket calls take it; room for every family
    socklen_t length = 0;      // bytes of it in use; 0 for no address
};

// A list of them: the target's addresses, or the --source ones.
using SocketAddresses = std::vector<SocketAddress>;

inline int addressFamily(const SocketAddress& address) {
    return address.bytes.ss_family;
}

inline const sockaddr* asSockaddr(const SocketAddress& address) {
    return reinterpret_cast<const sockaddr*>(&address.bytes);
}

// Copies an address the system gave (getaddrinfo's entries); false when it
// does not fit.
inline bool copySocketAddress(const sockaddr* from, std::size_t lengthBytes, SocketAddress& to) {
    if (from == nullptr || lengthBytes > sizeof(to.bytes)) return false;
    to = SocketAddress{};
    std::memcpy(&to.bytes, from, lengthBytes);
    to.length = static_cast<socklen_t>(lengthBytes);
    return true;
}

// An IPv4 or IPv6 address written as digits ("10.0.0.1", "fd00::1"), port 0;
// false for anything else, names and IPv6 zones included.
inline bool readNumericAddress(std::string_view text, SocketAddress& address) {
    const std::string terminated(text);
    SocketAddress read;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&read.bytes);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&read.bytes);
    if (inet_pton(AF_INET, terminated.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        read.length = sizeof(sockaddr_in);
    } else if (inet_pton(AF_INET6, terminated.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        read.length = sizeof(sockaddr_in6);
    } else {
        return false;
    }
    address = read;
    return true;
}

// Whether this build can connect to Unix sockets at all.
bool unixSocketsSupported();

// The address of the Unix socket at path. False when the system has no Unix
// sockets, or the path is empty, holds a zero byte or is too long for one.
bool unixSocketAddress(std::string_view path, SocketAddress& address);
