// The fiber scheduler's choices on POSIX, where a connect costs one quick
// system call and a worker keeps its processor busy by itself.
#include "platform/fibers/fiber_policy.h"

#include "platform/fibers/fiber_scheduler.h"

// Behind the fibers already ready: clients that are running keep their pace
// while the later ones are still starting.
bool newFibersFirst() {
    return false;
}

// A worker refills once per pass over its ready fibers, and a connect costs
// tens of microseconds when the target is busy accepting thousands: a small
// batch lets the running clients' answers and planned starts wait one short
// pass, not seconds, while a large run starts up.
std::size_t runsTakenPerRefill() {
    return 64;
}

// A worker keeps its processor busy by itself: more would only take turns.
std::size_t fiberWorkersFor(std::size_t processors) {
    return processors;
}

std::int64_t pollReturnedAtOnceNs() {
    return 200'000;
}
