// What the fiber scheduler does differently on each system, whatever its poller.
#pragma once

#include <cstdint>

// True when a new fiber runs before the fibers already ready.
bool newFibersFirst();

// A poll that returns sooner than this after it began found its events
// waiting: they arose while the loop ran fibers, at some time since its last
// poll. A system's own poll call costs more on some systems than on others.
std::int64_t pollReturnedAtOnceNs();
