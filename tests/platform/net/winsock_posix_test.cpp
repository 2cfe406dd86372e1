// Winsock start-up on POSIX prepares the process for thousands of sockets:
// no SIGPIPE death and the descriptor limit raised; ioctlsocket toggles blocking.
#include "platform/platform.h"

#include <fcntl.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

namespace {

TEST(WSAStartup, RaisesTheDescriptorSoftLimitToTheHardLimit) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max < 128) GTEST_SKIP() << "hard limit too low to lower the soft one";
    rlimit lowered = limit;
    lowered.rlim_cur = 64;  // lowering needs no privilege
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);

    WSADATA data{};
    EXPECT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    EXPECT_EQ(data.wVersion, MAKEWORD(2, 2));
    rlimit raised{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &raised), 0);
    EXPECT_EQ(raised.rlim_cur, limit.rlim_max);
    EXPECT_EQ(WSACleanup(), 0);
}

TEST(WSAStartup, SendToAClosedPeerFailsInsteadOfKilling) {
    WSADATA data{};
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    closesocket(ends[1]);
    EXPECT_EQ(send(ends[0], "x", 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), EPIPE);
    closesocket(ends[0]);
}

TEST(Ioctlsocket, TogglesNonBlockingAndRefusesOtherCommands) {
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    u_long enable = 1;
    u_long disable = 0;
    EXPECT_EQ(ioctlsocket(ends[0], FIONBIO, &enable), 0);
    EXPECT_NE(fcntl(ends[0], F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(ioctlsocket(ends[0], FIONBIO, &disable), 0);
    EXPECT_EQ(fcntl(ends[0], F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(ioctlsocket(ends[0], FIONREAD, &enable), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), EINVAL);
    closesocket(ends[0]);
    closesocket(ends[1]);
}

}  // namespace
