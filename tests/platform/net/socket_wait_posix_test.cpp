// Bounded socket waits: timing out, readiness in both directions, descriptors
// beyond select()'s reach and a refused non-blocking connect.
#include "platform/platform.h"

#include <chrono>

#include <sys/resource.h>

#include <gtest/gtest.h>

namespace {

using Clock = std::chrono::steady_clock;

// Both ends of a connected stream socket pair, closed at the end of the test.
struct SocketPair {
    SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0); }
    ~SocketPair() {
        for (SOCKET end : ends) closesocket(end);
    }
    SOCKET ends[2] = {INVALID_SOCKET, INVALID_SOCKET};  // two connected descriptors
};

TEST(WaitForSocket, TimesOutWhenNothingArrives) {
    SocketPair pair;
    const auto start = Clock::now();
    EXPECT_EQ(waitForSocket(pair.ends[0], SocketWait::Readable, 50), WaitResult::TimedOut);
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(25));
    EXPECT_LT(elapsed, std::chrono::seconds(5));
    EXPECT_EQ(waitForSocket(pair.ends[0], SocketWait::Readable, 0), WaitResult::TimedOut);
}

TEST(WaitForSocket, ReportsReadiness) {
    SocketPair pair;
    EXPECT_EQ(waitForSocket(pair.ends[0], SocketWait::Writable, 1000), WaitResult::Ready);
    ASSERT_EQ(send(pair.ends[1], "x", 1, 0), 1);
    EXPECT_EQ(waitForSocket(pair.ends[0], SocketWait::Readable, 1000), WaitResult::Ready);
    char byte = 0;
    ASSERT_EQ(recv(pair.ends[0], &byte, 1, 0), 1);
    closesocket(pair.ends[1]);  // end of stream is readable too
    pair.ends[1] = INVALID_SOCKET;
    EXPECT_EQ(waitForSocket(pair.ends[0], SocketWait::Readable, 1000), WaitResult::Ready);
}

TEST(WaitForSocket, FailsOnAnInvalidDescriptor) {
    EXPECT_EQ(waitForSocket(INVALID_SOCKET, SocketWait::Readable, 10), WaitResult::Failed);
}

TEST(WaitForSocket, HandlesDescriptorsAbove1023) {
    WSADATA data{};
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    const SOCKET highNumber = 1500;
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_cur <= static_cast<rlim_t>(highNumber))
        GTEST_SKIP() << "descriptor limit too low";
    SocketPair pair;
    ASSERT_EQ(dup2(pair.ends[0], highNumber), highNumber);
    ASSERT_EQ(send(pair.ends[1], "x", 1, 0), 1);
    EXPECT_EQ(waitForSocket(highNumber, SocketWait::Readable, 1000), WaitResult::Ready);
    closesocket(highNumber);
}

TEST(PendingSocketError, ReportsARefusedNonBlockingConnect) {
    // A bound port with no listener refuses connections, and keeping it bound
    // stops anyone else from taking it during the test.
    SOCKET closedPort = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(closedPort, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    socklen_t length = sizeof(address);
    ASSERT_EQ(getsockname(closedPort, reinterpret_cast<sockaddr*>(&address), &length), 0);

    SOCKET client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_TRUE(makeNonBlocking(client));
    EXPECT_EQ(pendingSocketError(client), 0);
    const int result = connect(client, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    ASSERT_EQ(result, SOCKET_ERROR);
    if (lastSocketCallWouldBlock()) {
        EXPECT_EQ(waitForSocket(client, SocketWait::Writable, 5000), WaitResult::Ready);
        EXPECT_EQ(pendingSocketError(client), ECONNREFUSED);
    } else {
        EXPECT_EQ(WSAGetLastError(), ECONNREFUSED);  // refused at once, also fine
    }
    closesocket(client);
    closesocket(closedPort);
}

}  // namespace
