#include "load/run_driver.h"

#include <iostream>
#include <system_error>
#include <thread>

#include "app/messages.h"
#include "load/client_loop.h"
#include "report/run_saving.h"
#include "stats/collect_run_result.h"
#include "stats/progress_reporter.h"
#include "stats/run_stats.h"
#include "stats/run_summary.h"

namespace {

struct PoolSetup {
    PTP_CLEANUP_GROUP cleanupGroup = nullptr;  // every client's work object belongs to it
    PTP_POOL pool = nullptr;                   // private pool, one thread per running client
    TP_CALLBACK_ENVIRON_V3 environment{};      // binds work objects to the pool and the group
};

int stopEarly(std::string_view message) {
    writeErrorLine(message);
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

// One work item per client; a client whose work item cannot be created does
// not exist and is not tried again.
void submitClients(TestConfig& config, PoolSetup& setup) {
    for (std::int32_t index = 0; index < config.concurrency; ++index) {
        PTP_WORK work = CreateThreadpoolWork(clientWorkCallback, &config, &setup.environment);
        if (work == nullptr) {
            writeErrorLine(kWorkItemFailed);
            continue;
        }
        SubmitThreadpoolWork(work);
    }
}

}  // namespace

int runLoadTest(TestConfig& config) {
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
    markRunStart();
    submitClients(config, setup);
    reporter.join();
    CloseThreadpoolCleanupGroupMembers(setup.cleanupGroup, FALSE, nullptr);
    closePool(setup);
    markRunEnd();

    const RunResult result = collectRunResult(config);
    printRunSummary(result, std::cout);
    const bool saved = saveRunResult(config, result);
    WSACleanup();
    return saved ? 0 : 1;
}
