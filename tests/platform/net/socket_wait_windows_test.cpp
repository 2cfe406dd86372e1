// Bounded socket waits on Winsock: timing out, readiness in both directions,
// a refused non-blocking connect (reported only in select's exception set)
// and the would-block test after a non-blocking call.
#include "platform/platform.h"

#include <chrono>

#include <gtest/gtest.h>

#include "support/loopback.h"

namespace {

using Clock = std::chrono::steady_clock;

// A connected pair of loopback sockets, closed at the end of the test.
struct ConnectedPair {
    ConnectedPair() {
        std::uint16_t port = 0;
        listener = listenOnLoopback(port);
        client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        EXPECT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        server = acceptClient(listener);
    }
    ~ConnectedPair() {
        for (SOCKET s : {client, server, listener}) {
            if (s != INVALID_SOCKET) closesocket(s);
        }
    }
    SOCKET listener = INVALID_SOCKET;  // listening socket the pair was made through
    SOCKET client = INVALID_SOCKET;    // the connecting end
    SOCKET server = INVALID_SOCKET;    // the accepted end
};

TEST(WaitForSocket, TimesOutWhenNothingArrives) {
    ConnectedPair pair;
    const auto start = Clock::now();
    EXPECT_EQ(waitForSocket(pair.client, SocketWait::Readable, 50), WaitResult::TimedOut);
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(25));
    EXPECT_LT(elapsed, std::chrono::seconds(5));
    EXPECT_EQ(waitForSocket(pair.client, SocketWait::Readable, 0), WaitResult::TimedOut);
    EXPECT_EQ(waitForSocket(pair.client, SocketWait::Readable, -1), WaitResult::TimedOut);
}

TEST(WaitForSocket, ReportsReadinessAndEndOfStream) {
    ConnectedPair pair;
    EXPECT_EQ(waitForSocket(pair.client, SocketWait::Writable, 1000), WaitResult::Ready);
    ASSERT_EQ(send(pair.server, "x", 1, 0), 1);
    EXPECT_EQ(waitForSocket(pair.client, SocketWait::Readable, 5000), WaitResult::Ready);
    char byte = 0;
    ASSERT_EQ(recv(pair.client, &byte, 1, 0), 1);
    closesocket(pair.server);
    pair.server = INVALID_SOCKET;
    EXPECT_EQ(waitForSocket(pair.client, SocketWait::Readable, 5000), WaitResult::Ready);
    EXPECT_EQ(recv(pair.client, &byte, 1, 0), 0);
}

TEST(WaitForSocket, FailsOnAnInvalidSocket) {
    EXPECT_EQ(waitForSocket(INVALID_SOCKET, SocketWait::Readable, 10), WaitResult::Failed);
}

TEST(LastSocketCallWouldBlock, TellsAnEmptyNonBlockingReceiveFromAFailure) {
    ConnectedPair pair;
    ASSERT_TRUE(makeNonBlocking(pair.client));
    char byte = 0;
    EXPECT_EQ(recv(pair.client, &byte, 1, 0), SOCKET_ERROR);
    EXPECT_TRUE(lastSocketCallWouldBlock());
    EXPECT_EQ(recv(INVALID_SOCKET, &byte, 1, 0), SOCKET_ERROR);
    EXPECT_FALSE(lastSocketCallWouldBlock());
}

TEST(PendingSocketError, ReportsARefusedNonBlockingConnect) {
    // A bound port with no listener refuses connections, and keeping it bound
    // stops anyone else from taking it during the test.
    const SOCKET closedPort = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(closedPort, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    int length = sizeof(address);
    ASSERT_EQ(getsockname(closedPort, reinterpret_cast<sockaddr*>(&address), &length), 0);

    const SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_TRUE(makeNonBlocking(client));
    EXPECT_EQ(pendingSocketError(client), 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof(address)),
              SOCKET_ERROR);
    if (lastSocketCallWouldBlock()) {
        // Windows retries a refused handshake for about two seconds before it gives up.
        EXPECT_EQ(waitForSocket(client, SocketWait::Writable, 10000), WaitResult::Ready);
        EXPECT_EQ(pendingSocketError(client), WSAECONNREFUSED);
    } else {
        EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);  // refused at once, also fine
    }
    closesocket(client);
    closesocket(closedPort);
}

}  // namespace
