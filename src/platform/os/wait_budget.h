// How long a socket wait may last before the client gives up.
#pragma once

#include <cstdint>

// Milliseconds from nowNs until giveUpNs, rounded up so a wait never ends
// before the instant; 0 once it has passed, and capped at what a wait takes.
int waitBudgetMs(std::int64_t giveUpNs, std::int64_t nowNs);
