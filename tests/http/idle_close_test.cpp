#include "http/idle_close.h"

#include <gtest/gtest.h>

#include "config/test_config.h"
#include "platform/os/clock.h"
#include "support/loopback.h"

namespace {

enum class ServerDoes { Nothing, Close, Reset, SendsBytes };

void actOn(SOCKET server, ServerDoes action) {
    if (action == ServerDoes::SendsBytes) sendText(server, "HTTP/1.1 408 Request Timeout\r\n\r\n");
    if (action == ServerDoes::Reset) {
        // Lingering for no time turns the close into a reset.
        const linger abortive{1, 0};
        setsockopt(server, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive),
                   sizeof(abortive));
    }
    if (action == ServerDoes::Close || action == ServerDoes::Reset) closesocket(server);
}

TEST(IdleClose, SeesWhatTheServerLeftOnAnIdleConnectionAndConsumesNothing) {
    struct Case {
        ServerDoes action;  // what the server did while the client was idle
        bool closed;        // whether the connection can still carry a request
    };
    const Case cases[] = {
        {ServerDoes::Nothing, false},
        {ServerDoes::Close, true},
        {ServerDoes::Reset, true},
        {ServerDoes::SendsBytes, true},
    };
    for (const Case& c : cases) {
        std::uint16_t port = 0;
        const SOCKET listener = listenOnLoopback(port);
        const TestConfig config = loopbackTarget(port);
        const SOCKET client = config.createConnection(monotonicNowNs() + 5 * kNsPerSec);
        ASSERT_NE(client, INVALID_SOCKET);
        const SOCKET server = acceptClient(listener);
        actOn(server, c.action);
        // Whatever the server did has reached the client once it is readable.
        if (c.action != ServerDoes::Nothing) {
            ASSERT_EQ(waitForSocket(client, SocketWait::Readable, 5000), WaitResult::Ready);
        }
        EXPECT_EQ(closedWhileIdle(client), c.closed) << static_cast<int>(c.action);
        EXPECT_EQ(closedWhileIdle(client), c.closed) << "a second look sees the same";
        if (c.action == ServerDoes::SendsBytes) {
            char first = 0;
            EXPECT_EQ(recv(client, &first, 1, 0), 1);
            EXPECT_EQ(first, 'H');
        }
        if (c.action == ServerDoes::Nothing || c.action == ServerDoes::SendsBytes) {
            closesocket(server);
        }
        closesocket(client);
        closesocket(listener);
    }
}

}  // namespace
