// What both floor clients need: a blocking loopback connection, and where one
// HTTP/1.1 response framed by Content-Length ends in the bytes received so
// far (enough for a static file's answers).
#pragma once

#include <arpa/inet.h>
#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cstdlib>
#include <cstring>
#include <string_view>

// Bytes of the whole response, or 0 while its header is incomplete.
inline std::size_t responseBytes(const char* bytes, std::size_t count) {
    const std::string_view text(bytes, count);
    const std::size_t headerEnd = text.find("\r\n\r\n");
    if (headerEnd == std::string_view::npos) return 0;
    std::size_t bodyBytes = 0;
    const std::size_t field = text.substr(0, headerEnd).find("Content-Length: ");
    if (field != std::string_view::npos) {
        bodyBytes = std::strtoul(bytes + field + 16, nullptr, 10);
    }
    return headerEnd + 4 + bodyBytes;
}

// A connected socket to 127.0.0.1:port with Nagle off, or -1.
inline int connectToLoopback(int port) {
    const int socketFd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(socketFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(socketFd);
        return -1;
    }
    const int one = 1;
    setsockopt(socketFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return socketFd;
}
