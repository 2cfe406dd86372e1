// The fiber switch on POSIX: the project's own stacks and register switch.
#include "platform/fibers/fiber_switch.h"

#include <new>

#include "platform/fibers/fiber_context_posix.h"

namespace {

// A client needs its 4 KiB receive buffer and getaddrinfo; only touched pages cost memory.
constexpr std::size_t kFiberStackBytes = 256 * 1024;

}  // namespace

struct SwitchThread {
    FiberContext context;    // the worker thread's own stack
    FiberStackArena stacks;  // where every fiber's stack comes from
};

struct SwitchFiber {
    FiberContext context;  // its stack and saved registers
};

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
    if (!prepareFiber(thread.stacks, fiber->context, kFiberStackBytes, entry, argument)) {
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
    switchFiber(thread.context, fiber.context, false);
}

void leaveSwitchFiber(SwitchFiber& fiber, SwitchThread& thread, bool finishing) {
    switchFiber(fiber.context, thread.context, finishing);
}
