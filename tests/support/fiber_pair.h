// Two tasks as fibers of one scheduler loop on the calling thread: a client,
// and a fiber that keeps the loop busy as thousands of other clients would.
#pragma once

#include "platform/fibers/fiber_scheduler.h"

struct FiberPair {
    void (*first)(void*);   // started first
    void (*second)(void*);  // started behind it
    void* argument;         // what both are given
    bool spawned = false;   // both have been started
};

// Runs both to their end; false when the system refused the loop.
inline bool runFiberPair(FiberPair& pair) {
    FiberWorker* worker = createFiberWorker();
    if (worker == nullptr) return false;
    runFiberWorker(
        *worker,
        [](FiberWorker& self, void* owner) {
            auto* both = static_cast<FiberPair*>(owner);
            if (!both->spawned) {
                spawnFiber(self, both->first, both->argument);
                spawnFiber(self, both->second, both->argument);
                both->spawned = true;
            }
            return false;
        },
        &pair);
    destroyFiberWorker(worker);
    return true;
}
