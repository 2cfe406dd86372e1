// The fiber scheduler's choices on Windows, where socket calls wait on the
// system for much of their time.
#include "platform/fibers/fiber_policy.h"

#include "platform/fibers/fiber_scheduler.h"

namespace {

constexpr std::size_t kWorkersPerProcessor = 8;

}  // namespace

// New clients go first. A connect costs several round trips to the system
// here, so clients started behind thousands of running ones would open their
// connections seconds late.
bool newFibersFirst() {
    return true;
}

// Large batches, for the same reason new clients go first.
std::size_t runsTakenPerRefill() {
    return kMostRunsPerRefill;
}

// Socket calls and polls here wait on the system for much of their time, not
// on the processor, so a few workers per processor keep more of them under way.
std::size_t fiberWorkersFor(std::size_t processors) {
    return processors * kWorkersPerProcessor;
}

// A poll is a round trip to the system here, even when events are waiting.
std::int64_t pollReturnedAtOnceNs() {
    return 2'000'000;
}
