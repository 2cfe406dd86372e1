// Name lookups from pool callbacks: a name is looked up away from the worker
// thread while the callback's fiber waits, and comes back to the right caller.
#include "platform/platform.h"

#include <atomic>
#include <cstring>

#include <gtest/gtest.h>

namespace {

struct LookupProbe {
    const char* node;              // what every callback looks up
    std::atomic<int> resolved{0};  // lookups that gave 127.0.0.1:8080
    std::atomic<int> failed{0};    // lookups that gave anything else
};

bool isLoopback8080(const addrinfo* list) {
    if (list == nullptr || list->ai_family != AF_INET) return false;
    const auto* address = reinterpret_cast<const sockaddr_in*>(list->ai_addr);
    return address->sin_addr.s_addr == htonl(INADDR_LOOPBACK) && ntohs(address->sin_port) == 8080;
}

void lookUpCallback(PTP_CALLBACK_INSTANCE, PVOID context, PTP_WORK work) {
    auto* probe = static_cast<LookupProbe*>(context);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const bool good = getaddrinfo(probe->node, "8080", &hints, &list) == 0 && isLoopback8080(list);
    if (list != nullptr) freeaddrinfo(list);
    ++(good ? probe->resolved : probe->failed);
    if (work != nullptr) CloseThreadpoolWork(work);
}

TEST(NameLookup, NamesAndAddressesResolveOnPoolWorkersAndOffThem) {
    for (const char* node : {"localhost", "127.0.0.1"}) {
        SCOPED_TRACE(node);
        PTP_POOL pool = CreateThreadpool(nullptr);
        PTP_CLEANUP_GROUP group = CreateThreadpoolCleanupGroup();
        ASSERT_NE(pool, nullptr);
        ASSERT_NE(group, nullptr);
        SetThreadpoolThreadMaximum(pool, 64);
        TP_CALLBACK_ENVIRON environment{};
        environment.Version = 3;
        environment.Pool = pool;
        environment.CleanupGroup = group;
        LookupProbe probe{node};
        for (int i = 0; i < 64; ++i) {
            SubmitThreadpoolWork(CreateThreadpoolWork(lookUpCallback, &probe, &environment));
        }
        CloseThreadpoolCleanupGroupMembers(group, FALSE, nullptr);
        CloseThreadpoolCleanupGroup(group);
        CloseThreadpool(pool);
        EXPECT_EQ(probe.resolved, 64);
        EXPECT_EQ(probe.failed, 0);

        LookupProbe direct{node};
        lookUpCallback(nullptr, &direct, nullptr);  // on a thread of its own, off the pool
        EXPECT_EQ(direct.resolved, 1);
    }
}

}  // namespace
