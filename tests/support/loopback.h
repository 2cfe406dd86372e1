// A scripted peer on 127.0.0.1 for tests of the socket code.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "config/test_config.h"
#include "platform/platform.h"

// A listening socket on a free loopback port.
SOCKET listenOnLoopback(std::uint16_t& port);
SOCKET acceptClient(SOCKET listener);
// Settings whose target is 127.0.0.1:port, path "/", its address looked up
// as a run's is.
TestConfig loopbackTarget(std::uint16_t port);
void sendText(SOCKET socket, std::string_view text);
// Reads until the empty line that ends a request header; "" if the peer closed.
std::string receiveRequestHeader(SOCKET socket);
