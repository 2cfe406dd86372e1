// A client whose stack runs out stops on the guard page below it: the process
// dies there, instead of the client writing on into memory that is not its
// stack, whatever the stack is shared with.
#include "platform/platform.h"

#include <gtest/gtest.h>

namespace {

// A sanitizer reports the overflow itself, and its report fails the suite.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

volatile bool g_descend = true;  // never cleared: the recursion only looks bounded

// Each frame keeps a kilobyte in use until the one below it returns, so the
// compiler can neither drop the frames nor turn the calls into a loop.
int descendForever(int depth) {
    volatile char frame[1024];
    frame[depth % 1024] = static_cast<char>(depth);
    if (!g_descend) return frame[0];
    return descendForever(depth + 1) + frame[depth % 1024];
}

void overflowingCallback(PTP_CALLBACK_INSTANCE, PVOID context, PTP_WORK) {
    *static_cast<volatile int*>(context) = descendForever(0);
}

// Runs one overflowing callback beside waiting ones on a pool like the run's.
void runOverflowingPool() {
    PTP_POOL pool = CreateThreadpool(nullptr);
    PTP_CLEANUP_GROUP group = CreateThreadpoolCleanupGroup();
    SetThreadpoolThreadMaximum(pool, 4);
    TP_CALLBACK_ENVIRON environment{};
    environment.Version = 3;
    environment.Pool = pool;
    environment.CleanupGroup = group;
    environment.Size = sizeof(environment);
    volatile int result = 0;
    PTP_WORK work =
        CreateThreadpoolWork(overflowingCallback, const_cast<int*>(&result), &environment);
    SubmitThreadpoolWork(work);
    CloseThreadpoolCleanupGroupMembers(group, FALSE, nullptr);
}

TEST(FiberGuard, AnOverflowingClientDiesOnTheGuardPage) {
    if (kSanitized) GTEST_SKIP() << "the sanitizer stops the overflow itself";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(runOverflowingPool(), "");
}

}  // namespace
