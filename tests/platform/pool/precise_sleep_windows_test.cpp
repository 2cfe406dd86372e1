// Sleeps on Windows must be far finer than Sleep's default 15.6 ms tick, also
// when several threads sleep at once, each on its own timer.
#include "platform/platform.h"

#include <chrono>
#include <future>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Twenty 1 ms sleeps: about 20 ms; on the default tick they would take
// over 300 ms, so the bound below leaves ten times the expected time.
Clock::duration twentyShortSleeps() {
    const auto start = Clock::now();
    for (int i = 0; i < 20; ++i) sleepForNs(1'000'000);
    return Clock::now() - start;
}

TEST(SleepForNs, ShortSleepsAreFinerThanTheSystemTick) {
    const auto elapsed = twentyShortSleeps();
    EXPECT_GE(elapsed, 15ms);
    EXPECT_LT(elapsed, 250ms);
}

TEST(SleepForNs, NothingToSleepReturnsAtOnce) {
    const auto start = Clock::now();
    for (int i = 0; i < 1000; ++i) {
        sleepForNs(0);
        sleepForNs(-5'000'000);
    }
    EXPECT_LT(Clock::now() - start, 1s);
}

TEST(SleepForNs, ThreadsSleepOnTheirOwnTimers) {
    std::vector<std::future<Clock::duration>> sleepers;
    for (int i = 0; i < 4; ++i)
        sleepers.push_back(std::async(std::launch::async, twentyShortSleeps));
    for (auto& sleeper : sleepers) {
        ASSERT_EQ(sleeper.wait_for(10s), std::future_status::ready);
        const auto elapsed = sleeper.get();
        EXPECT_GE(elapsed, 15ms);
        EXPECT_LT(elapsed, 500ms);
    }
}

}  // namespace
