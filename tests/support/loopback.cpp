#include "support/loopback.h"

#include <gtest/gtest.h>

#include <memory>

#include "http/request_text.h"
#include "http/target_lookup.h"

namespace {

// Winsock must be started once for the whole test program.
struct WinsockEnvironment : testing::Environment {
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    }
    void TearDown() override { WSACleanup(); }
};

[[maybe_unused]] testing::Environment* const kWinsock =
    testing::AddGlobalTestEnvironment(new WinsockEnvironment);

}  // namespace

SOCKET listenOnLoopback(std::uint16_t& port) {
    const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    listen(listener, 64);
    socklen_t length = sizeof(address);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return listener;
}

SOCKET acceptClient(SOCKET listener) {
    return accept(listener, nullptr, nullptr);
}

TestConfig loopbackTarget(std::uint16_t port) {
    TestConfig config{.url = "", .host = "127.0.0.1", .path = "/"};
    config.port = port;
    EXPECT_EQ(findTargetAddresses(config, kTargetLookupLimitNs), LookupOutcome::Found);
    config.requestText = std::make_shared<const std::string>(buildRequestText(config));
    return config;
}

void sendText(SOCKET socket, std::string_view text) {
    while (!text.empty()) {
        const auto sent = send(socket, text.data(), static_cast<int>(text.size()), 0);
        if (sent <= 0) return;
        text.remove_prefix(static_cast<std::size_t>(sent));
    }
}

// Peeks before it takes, so bytes past the header stay queued for the next
// call; reading a byte at a time would take minutes for a long header under Wine.
std::string receiveRequestHeader(SOCKET socket) {
    std::string received;
    char buffer[64 * 1024];
    for (;;) {
        const auto peekedBytes = recv(socket, buffer, sizeof(buffer), MSG_PEEK);
        if (peekedBytes <= 0) return "";
        const std::size_t oldSize = received.size();
        received.append(buffer, static_cast<std::size_t>(peekedBytes));
        const std::size_t end = received.find("\r\n\r\n", oldSize < 3 ? 0 : oldSize - 3);
        const std::size_t takenBytes =
            end == std::string::npos ? static_cast<std::size_t>(peekedBytes) : end + 4 - oldSize;
        received.resize(oldSize + takenBytes);
        if (recv(socket, buffer, static_cast<int>(takenBytes), 0) != static_cast<int>(takenBytes)) {
            return "";
        }
        if (end != std::string::npos) return received;
    }
}
