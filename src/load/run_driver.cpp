#include "load/run_driver.h"

#include <iostream>
#include <system_error>
#include <thread>

#include "app/messages.h"
#include "load/client_loop.h"
#include "stats/final_summary.h"
#include "stats/progress_reporter.h"
#include "stats/run_stats.h"

namespace {

struct PoolSetup {
    PTP_CLEANUP_GROUP cleanupGroup = nullptr;  // every client's work object belongs to it
    PTP_POOL pool = nullptr;                   // private pool, one thread per running client
    TP_CALLBACK_ENVIRON_V3 environment{};      // binds work objects to the pool and the group
};

int stopEarly(std::string_view message) {
    writeErrorLine(message);
    DeleteCriticalSection(&g_latencyLock);
    WSACleanup();
    return 1;
}

void closePool(PoolSetup& setup) {
    CloseThreadpoolCleanupGroup(setup.cleanupGroup);
    CloseThreadpool(setup.pool);
}

void prepareEnvironment(PoolSetup& setup) {
    setup.environment = {};
    setup.environment.Version = 3;
    setup.environment.Pool = setup.pool;
    setup.environment.CleanupGroup = setup.cleanupGroup;
    setup.environment.CallbackPriority = TP_CALLBACK_PRIORITY_NORMAL;
    setup.environment.Size = sizeof(setup.environment);
}

// One work item per client. When one cannot be created the system is out of
// memory: the clients not yet created are not tried (each would only fail and
// say so again), and the run goes on with those that exist.
void submitClients(TestConfig& config, PoolSetup& setup) {
    for (std::int32_t index = 0; index < config.concurrency; ++index) {
        PTP_WORK work = CreateThreadpoolWork(clientWorkCallback, &config, &setup.environment);
        if (work == nullptr) {
            writeErrorLine(kWorkItemFailed);
            return;
        }
        SubmitThreadpoolWork(work);
    }
}

}  // namespace

int runLoadTest(TestConfig& config) {
    InitializeCriticalSection(&g_latencyLock);
    PoolSetup setup;
    setup.cleanupGroup = CreateThreadpoolCleanupGroup();
    if (setup.cleanupGroup == nullptr) return stopEarly(kCleanupGroupFailed);
    setup.pool = CreateThreadpool(nullptr);
    if (setup.pool == nullptr) {
        CloseThreadpoolCleanupGroup(setup.cleanupGroup);
        return stopEarly(kThreadPoolFailed);
    }
    // Every client may run at once; with no clients the pool still needs a
    // valid limit.
    SetThreadpoolThreadMaximum(setup.pool,
                               static_cast<DWORD>(config.concurrency > 1 ? config.concurrency : 1));
    SetThreadpoolThreadMinimum(setup.pool, 1);
    prepareEnvironment(setup);

    std::thread reporter;
    try {
        reporter = std::thread([copy = config] { progressReporter(copy, std::cout); });
    } catch (const std::system_error&) {
        closePool(setup);
        return stopEarly(kReporterFailed);
    }
    submitClients(config, setup);
    reporter.join();
    CloseThreadpoolCleanupGroupMembers(setup.cleanupGroup, FALSE, nullptr);
    closePool(setup);

    printFinalSummary(config, std::cout);
    DeleteCriticalSection(&g_latencyLock);
    WSACleanup();
    return 0;
}
