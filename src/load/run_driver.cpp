#include "load/run_driver.h"

#include <iostream>
#include <system_error>
#include <thread>
#include <vector>

#include "config/messages.h"
#include "platform/os/clock.h"
#include "common/sleep_until.h"
#include "load/client_loop.h"
#include "config/client_share.h"
#include "load/pacing.h"
#include "load/run_window.h"
#include "stats/collect_run_result.h"
#include "stats/progress_reporter.h"
#include "stats/run_stats.h"

namespace {

struct PoolSetup {
    PTP_CLEANUP_GROUP cleanupGroup = nullptr;  // every client's work object belongs to it
    PTP_POOL pool = nullptr;                   // private pool, one thread per running client
    TP_CALLBACK_ENVIRON_V3 environment{};      // binds work objects to the pool and the group
};

bool stopEarly(std::string_view message) {
    writeErrorLine(message);
    return false;
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

// One plan per client this process runs, each with its place in the whole
// run, so agents sharing a run pace their clients on one schedule.
std::vector<ClientPlan> planClients(const TestConfig& config, const RunWindow& window) {
    std::vector<ClientPlan> plans(static_cast<std::size_t>(localClientCount(config)));
    for (std::size_t local = 0; local < plans.size(); ++local) {
        const auto localIndex = static_cast<std::int32_t>(local);
        plans[local] = {&config, &window, globalClientIndex(config, localIndex), localIndex};
    }
    return plans;
}

// One work item per client. When one cannot be created the system is out of
// memory: the clients not yet created are not tried (each would only fail and
// say so again), and the run goes on with those that exist.
void submitClients(std::vector<ClientPlan>& plans, PoolSetup& setup) {
    for (ClientPlan& plan : plans) {
        PTP_WORK work = CreateThreadpoolWork(clientWorkCallback, &plan, &setup.environment);
        if (work == nullptr) {
            writeErrorLine(kWorkItemFailed);
            return;
        }
        SubmitThreadpoolWork(work);
    }
}

// The run starts when its first client is submitted, or at the --start-at
// instant, read on the monotonic clock once so that a change of the wall
// clock during the wait moves nothing.
std::int64_t runStartNs(const TestConfig& config) {
    const std::int64_t nowNs = monotonicNowNs();
    if (config.startAtUnixNs == 0) return nowNs;
    return monotonicInstantOfNs(config.startAtUnixNs, nowNs, wallClockNowNs());
}

}  // namespace

bool runLoadTest(const TestConfig& config, RunResult& result) {
    PoolSetup setup;
    setup.cleanupGroup = CreateThreadpoolCleanupGroup();
    if (setup.cleanupGroup == nullptr) return stopEarly(kCleanupGroupFailed);
    setup.pool = CreateThreadpool(nullptr);
    if (setup.pool == nullptr) {
        CloseThreadpoolCleanupGroup(setup.cleanupGroup);
        return stopEarly(kThreadPoolFailed);
    }
    const std::int32_t clientCount = localClientCount(config);
    // Every client may run at once; with no clients the pool still needs a
    // valid limit.
    SetThreadpoolThreadMaximum(setup.pool, static_cast<DWORD>(clientCount > 1 ? clientCount : 1));
    SetThreadpoolThreadMinimum(setup.pool, 1);
    prepareEnvironment(setup);

    RunWindow window{};
    std::vector<ClientPlan> plans = planClients(config, window);
    window = runWindowFrom(config, runStartNs(config));
    std::thread reporter;
    try {
        reporter = std::thread([copy = config, startNs = window.startNs] {
            progressReporter(copy, startNs, std::cout);
        });
    } catch (const std::system_error&) {
        closePool(setup);
        return stopEarly(kReporterFailed);
    }
    startConnectionCount(window.startNs, clientCount);
    sleepUntilNs(window.startNs);
    markRunStart();
    submitClients(plans, setup);
    reporter.join();
    CloseThreadpoolCleanupGroupMembers(setup.cleanupGroup, FALSE, nullptr);
    closePool(setup);
    markRunEnd();
    closeSecondSeries();

    result = collectRunResult(config, pacedRun(config));
    return true;
}
