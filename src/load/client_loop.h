// One virtual client: its own connection, exchange after exchange until the
// run's deadline, paced on the run's one schedule when a rate is set.
#pragma once

#include <cstdint>

#include "config/test_config.h"
#include "load/run_window.h"
#include "platform/platform.h"

// What one client's work item is given; owned by the run driver, which keeps
// it alive until every client has ended.
struct ClientPlan {
    const TestConfig* config;  // the run's settings, shared by every client
    const RunWindow* window;   // the run's start and deadlines, shared by every client
    std::int32_t globalIndex;  // 0-based place among all the run's clients, over every agent
    std::int32_t localIndex;   // 0-based place among this process's clients; picks its --source
};

// Runs one client until the run's deadline. A paced client holds its
// connection open to the deadline even when no planned start is left.
void runClient(const ClientPlan& plan);

// The thread-pool work callback: context is the client's ClientPlan. Releases
// its own work object as its very last action.
void CALLBACK clientWorkCallback(PTP_CALLBACK_INSTANCE instance, PVOID context, PTP_WORK work);
