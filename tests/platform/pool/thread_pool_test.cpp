// The thread pool as the run driver relies on it: the thread maximum both caps
// and is reached, every submit runs once, the group wait covers runs not yet
// started, works may be closed by their own callback or while queued, and
// callbacks that sleep or wait on sockets leave the others running and find
// their own frames as they left them.
#include "platform/platform.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

// What the callbacks of one test share.
struct Probe {
    std::mutex mutex;                  // guards running and peak
    std::condition_variable changed;   // signalled whenever running changes
    int running = 0;                   // callbacks inside the gate now
    int peak = 0;                      // most callbacks ever inside at once
    std::atomic<bool> gateOpen{true};  // false holds every callback until opened
    std::atomic<int> finished{0};      // callbacks that have returned
    bool selfClose = false;            // callbacks close their own work as their last action
};

// Callbacks wait the way clients do, with the platform's Sleep: on a pool that
// runs callbacks as fibers, blocking the thread itself would hold up the others.
void gatedCallback(PTP_CALLBACK_INSTANCE, PVOID context, PTP_WORK work) {
    auto* probe = static_cast<Probe*>(context);
    {
        std::lock_guard lock(probe->mutex);
        probe->peak = std::max(probe->peak, ++probe->running);
        probe->changed.notify_all();
    }
    while (!probe->gateOpen) Sleep(1);
    {
        std::lock_guard lock(probe->mutex);
        --probe->running;
        probe->changed.notify_all();
    }
    ++probe->finished;
    if (probe->selfClose) CloseThreadpoolWork(work);
}

void countingCallback(PTP_CALLBACK_INSTANCE, PVOID context, PTP_WORK) {
    ++*static_cast<std::atomic<int>*>(context);
}

void setGate(Probe& probe, bool open) {
    probe.gateOpen = open;
}

// Generous: only a broken pool gets near the bound.
bool waitForRunning(Probe& probe, int count) {
    std::unique_lock lock(probe.mutex);
    return probe.changed.wait_for(lock, 10s, [&] { return probe.running == count; });
}

// A pool and cleanup group set up the way the run driver sets up its own.
struct TestPool {
    explicit TestPool(DWORD maxThreads) {
        pool = CreateThreadpool(nullptr);
        group = CreateThreadpoolCleanupGroup();
        EXPECT_NE(pool, nullptr);
        EXPECT_NE(group, nullptr);
        SetThreadpoolThreadMaximum(pool, maxThreads);
        SetThreadpoolThreadMinimum(pool, 1);  // as the run driver does; it starts no thread
        environment.Version = 3;
        environment.Pool = pool;
        environment.CleanupGroup = group;
        environment.Size = sizeof(environment);
    }
    ~TestPool() {
        waitForAll();
        CloseThreadpoolCleanupGroup(group);
        CloseThreadpool(pool);
    }
    PTP_WORK submit(PTP_WORK_CALLBACK callback, PVOID context) {
        PTP_WORK work = CreateThreadpoolWork(callback, context, &environment);
        EXPECT_NE(work, nullptr);
        if (work != nullptr) SubmitThreadpoolWork(work);
        return work;
    }
    void waitForAll() { CloseThreadpoolCleanupGroupMembers(group, FALSE, nullptr); }

    PTP_POOL pool = nullptr;            // the pool under test
    PTP_CLEANUP_GROUP group = nullptr;  // every work joins it
    TP_CALLBACK_ENVIRON environment{};  // names the pool and the group
};

TEST(ThreadPool, MaximumIsBothReachedAndNeverExceeded) {
    struct Case {
        DWORD maxThreads;  // the pool's maximum
        int works;         // blocking callbacks submitted
    };
    for (const Case& c : {Case{1, 3}, Case{3, 10}, Case{16, 40}, Case{64, 64}}) {
        SCOPED_TRACE(c.maxThreads);
        TestPool tested(c.maxThreads);
        Probe probe;
        probe.gateOpen = false;
        for (int i = 0; i < c.works; ++i) tested.submit(gatedCallback, &probe);
        EXPECT_TRUE(waitForRunning(probe, static_cast<int>(c.maxThreads)));
        std::this_thread::sleep_for(20ms);  // room for a faulty pool to start one too many
        setGate(probe, true);
        tested.waitForAll();
        EXPECT_EQ(probe.peak, static_cast<int>(c.maxThreads));
        EXPECT_EQ(probe.finished, c.works);
    }
}

TEST(ThreadPool, EverySubmitRunsExactlyOnce) {
    TestPool tested(8);
    std::vector<std::atomic<int>> runs(2000);
    for (auto& count : runs) tested.submit(countingCallback, &count);
    std::atomic<int> repeated{0};
    PTP_WORK again = tested.submit(countingCallback, &repeated);
    for (int i = 1; i < 100; ++i) SubmitThreadpoolWork(again);
    tested.waitForAll();
    for (std::size_t i = 0; i < runs.size(); ++i) ASSERT_EQ(runs[i], 1) << "work " << i;
    EXPECT_EQ(repeated, 100);
}

TEST(ThreadPool, GroupWaitCoversRunsNotYetStarted) {
    TestPool tested(1);
    Probe probe;
    probe.gateOpen = false;
    for (int i = 0; i < 20; ++i) tested.submit(gatedCallback, &probe);
    EXPECT_TRUE(waitForRunning(probe, 1));
    std::thread opener([&] {
        std::this_thread::sleep_for(50ms);  // the wait below most likely starts with runs queued
        setGate(probe, true);
    });
    tested.waitForAll();
    EXPECT_EQ(probe.finished, 20);
    opener.join();
}

TEST(ThreadPool, CallbacksCloseTheirOwnWork) {
    TestPool tested(16);
    Probe probe;
    probe.selfClose = true;
    for (int i = 0; i < 1000; ++i) tested.submit(gatedCallback, &probe);
    tested.waitForAll();
    EXPECT_EQ(probe.finished, 1000);
}

// What each waiting callback saw.
struct WaitProbe {
    std::atomic<int> timedOut{0};  // socket waits that ran out, as they should
    std::atomic<int> early{0};     // sleeps or waits that ended before their time
    std::atomic<int> finished{0};  // callbacks that have returned
};

constexpr std::int64_t kWaitNs = 300'000'000;

// Sleeps, then waits on a datagram socket nobody sends to: both must take
// their full time, and on a pool of fibers neither may hold up the others.
void waitingCallback(PTP_CALLBACK_INSTANCE, PVOID context, PTP_WORK) {
    auto* probe = static_cast<WaitProbe*>(context);
    const auto started = std::chrono::steady_clock::now();
    sleepForNs(kWaitNs);
    const SOCKET quiet = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (quiet != INVALID_SOCKET &&
        bind(quiet, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        makeNonBlocking(quiet) &&
        waitForSocket(quiet, SocketWait::Readable, kWaitNs / 1'000'000) == WaitResult::TimedOut) {
        ++probe->timedOut;
    }
    if (quiet != INVALID_SOCKET) closesocket(quiet);
    if (std::chrono::steady_clock::now() - started < std::chrono::nanoseconds(2 * kWaitNs)) {
        ++probe->early;
    }
    ++probe->finished;
}

TEST(ThreadPool, WaitingCallbacksDoNotHoldUpEachOther) {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    constexpr int kCallbacks = 400;
    WaitProbe probe;
    const auto started = std::chrono::steady_clock::now();
    {
        TestPool tested(kCallbacks);
        for (int i = 0; i < kCallbacks; ++i) tested.submit(waitingCallback, &probe);
        tested.waitForAll();
    }
    // One after another on a thread per processor they would take a minute.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);
    EXPECT_EQ(probe.finished, kCallbacks);
    EXPECT_EQ(probe.timedOut, kCallbacks);
    EXPECT_EQ(probe.early, 0);
    WSACleanup();
}

// Words a frame holds through the waits below it, each one its own.
std::uint64_t frameWord(int client, int depth, int slot) {
    return static_cast<std::uint64_t>(client) * 1'000'003u +
           static_cast<std::uint64_t>(depth) * 97u + static_cast<std::uint64_t>(slot);
}

// Fills depth frames, waits at the bottom and again on the way up, and counts
// the words that came back changed. Deep and shallow clients take turns on
// the same workers, so a waiting client's frames are set aside and brought
// back many times, at the same addresses.
int descendAndWait(int client, int depth) {
    volatile std::uint64_t words[24];
    for (int slot = 0; slot < 24; ++slot) words[slot] = frameWord(client, depth, slot);
    int damaged = depth > 0 ? descendAndWait(client, depth - 1) : 0;
    if (depth == 0 || depth % 16 == 0) Sleep(1 + static_cast<DWORD>(client % 3));
    for (int slot = 0; slot < 24; ++slot) {
        if (words[slot] != frameWord(client, depth, slot)) ++damaged;
    }
    return damaged;
}

struct FrameProbe {
    std::atomic<int> nextClient{0};  // number the next callback takes
    std::atomic<int> damaged{0};     // words found changed after a wait
    std::atomic<int> finished{0};    // callbacks that have returned
};

void framesCallback(PTP_CALLBACK_INSTANCE, PVOID context, PTP_WORK) {
    auto* probe = static_cast<FrameProbe*>(context);
    const int client = probe->nextClient++;
    // One in seven goes about 50 KiB deep before its first wait.
    const int depth = client % 7 == 0 ? 200 : client % 5;
    probe->damaged += descendAndWait(client, depth);
    Sleep(1);  // a shallow wait after a deep one
    probe->damaged += descendAndWait(client, 1);
    ++probe->finished;
}

TEST(ThreadPool, WaitingCallbacksFindTheirOwnFramesIntact) {
    constexpr int kCallbacks = 1500;
    FrameProbe probe;
    {
        TestPool tested(kCallbacks);
        for (int i = 0; i < kCallbacks; ++i) tested.submit(framesCallback, &probe);
        tested.waitForAll();
    }
    EXPECT_EQ(probe.finished, kCallbacks);
    EXPECT_EQ(probe.damaged, 0);
}

TEST(ThreadPool, ClosingQueuedWorkDefersItsRelease) {
    TestPool tested(1);
    Probe probe;
    probe.gateOpen = false;
    std::vector<PTP_WORK> works;
    for (int i = 0; i < 10; ++i) works.push_back(tested.submit(gatedCallback, &probe));
    EXPECT_TRUE(waitForRunning(probe, 1));
    for (PTP_WORK work : works) CloseThreadpoolWork(work);  // one running, nine queued
    setGate(probe, true);
    tested.waitForAll();
    EXPECT_EQ(probe.finished, 10);
}

}  // namespace
