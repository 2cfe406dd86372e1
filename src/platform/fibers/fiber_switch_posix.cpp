// The fiber switch on POSIX: the project's own stacks and register switch.
#include "platform/fibers/fiber_switch.h"

#include <new>

#include "platform/fibers/fiber_context_posix.h"

namespace {

// The deepest client path (a TLS handshake, getaddrinfo) fits many times
// over; only the pages touched cost memory, and on a shared stack they are
// one worker's, not each client's.
constexpr std::size_t kFiberStackBytes = 256 * 1024;

}  // namespace

struct SwitchThread {
    FiberContext context;    // the worker thread's own stack
    FiberStackArena stacks;  // where every fiber's stack comes from
    SharedStack shared;      // the stack its fibers take turns on, once the first is made
};

struct SwitchFiber {
    FiberContext context;  // its stack and saved registers
};

namespace {

bool prepareClientFiber(SwitchThread& thread, FiberContext& fiber, void (*entry)(void*),
                        void* argument) {
    if (!sharedStacksAvailable()) {
        return prepareFiber(thread.stacks, fiber, kFiberStackBytes, entry, argument);
    }
    if (thread.shared.base == nullptr &&
        !prepareSharedStack(thread.stacks, thread.shared, kFiberStackBytes)) {
        return false;
    }
    return prepareSharedFiber(thread.shared, fiber, entry, argument);
}

}  // namespace

SwitchThread* createSwitchThread() {
    return new (std::nothrow) SwitchThread;
}

void destroySwitchThread(SwitchThread* thread) {
    releaseFiberStacks(thread->stacks);
    delete thread;
}

bool enterSwitchThread(SwitchThread& thread) {
    adoptThreadContext(thread.context);
    return true;
}

void leaveSwitchThread(SwitchThread& /*thread*/) {}

SwitchFiber* createSwitchFiber(SwitchThread& thread, void (*entry)(void*), void* argument) {
    auto* fiber = new (std::nothrow) SwitchFiber;
    if (fiber == nullptr) return nullptr;
    if (!prepareClientFiber(thread, fiber->context, entry, argument)) {
        delete fiber;
        return nullptr;
    }
    return fiber;
}

// A finished fiber is started afresh at entry on its stack, so no sanitizer
// state of its last run is carried over.
void reuseSwitchFiber(SwitchFiber& fiber, void (*entry)(void*), void* argument) {
    restartFiber(fiber.context, entry, argument);
}

// The stack goes with the thread's arena.
void destroySwitchFiber(SwitchFiber* fiber) {
    retireFiber(fiber->context);
    delete fiber;
}

void enterSwitchFiber(SwitchThread& thread, SwitchFiber& fiber) {
    occupyStack(fiber.context);
    switchFiber(thread.context, fiber.context, false);
}

// A finished fiber's frames are dead: the next fiber on the stack need not keep them.
void leaveSwitchFiber(SwitchFiber& fiber, SwitchThread& thread, bool finishing) {
    if (finishing) vacateStack(fiber.context);
    switchFiber(fiber.context, thread.context, finishing);
}
