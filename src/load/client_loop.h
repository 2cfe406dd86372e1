// One virtual client: its own connection, exchange after exchange until its
// own deadline.
#pragma once

#include "app/test_config.h"
#include "platform/platform.h"

// Grace after a client's deadline for an exchange or connection attempt still
// under way; past it the attempt is abandoned and counted as an error.
inline constexpr std::int64_t kGiveUpGraceNs = 2'000'000'000;

// Runs one client for config.durationSec seconds from its own start.
void runClient(const TestConfig& config);

// The thread-pool work callback: context is the run's TestConfig. Releases its
// own work object as its very last action.
void CALLBACK clientWorkCallback(PTP_CALLBACK_INSTANCE instance, PVOID context, PTP_WORK work);
