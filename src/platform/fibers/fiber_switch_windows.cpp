// The fiber switch on Windows: the system's own fibers (CreateFiberEx), so
// structured exception handling, and with it C++ exceptions, unwind each
// fiber's stack correctly.
#include "platform/fibers/fiber_switch.h"

#include <new>

#include "platform/os/system_api.h"

namespace {

// Address space reserved per fiber; only the pages a client touches (its 4 KiB
// receive buffer, name lookups) are committed.
constexpr SIZE_T kFiberStackReserveBytes = 256 * 1024;

// GCC takes the header's read of the thread block through gs for an access
// to an empty array.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#endif
LPVOID currentFiber() {
    return GetCurrentFiber();
}
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

}  // namespace

struct SwitchThread {
    LPVOID handle = nullptr;  // the worker thread's own fiber
    bool converted = false;   // this thread was made a fiber here, and is turned back on leaving
};

struct SwitchFiber {
    LPVOID handle = nullptr;  // the system fiber, with its stack
    void (*entry)(void*);     // what it runs
    void* argument;           // entry's argument
};

namespace {

// A system fiber must never return from its start routine (that would end
// the thread); entry loops by itself.
void WINAPI systemFiberMain(LPVOID argument) {
    auto* fiber = static_cast<SwitchFiber*>(argument);
    fiber->entry(fiber->argument);
}

}  // namespace

SwitchThread* createSwitchThread() {
    return new (std::nothrow) SwitchThread;
}

void destroySwitchThread(SwitchThread* thread) {
    delete thread;
}

bool enterSwitchThread(SwitchThread& thread) {
    thread.handle = ConvertThreadToFiberEx(nullptr, FIBER_FLAG_FLOAT_SWITCH);
    thread.converted = thread.handle != nullptr;
    if (!thread.converted) thread.handle = currentFiber();  // already a fiber
    return thread.handle != nullptr;
}

void leaveSwitchThread(SwitchThread& thread) {
    if (thread.converted) ConvertFiberToThread();
    thread.converted = false;
}

SwitchFiber* createSwitchFiber(SwitchThread& /*thread*/, void (*entry)(void*), void* argument) {
    auto* fiber = new (std::nothrow) SwitchFiber{nullptr, entry, argument};
    if (fiber == nullptr) return nullptr;
    fiber->handle =
        CreateFiberEx(0, kFiberStackReserveBytes, FIBER_FLAG_FLOAT_SWITCH, systemFiberMain, fiber);
    if (fiber->handle == nullptr) {
        delete fiber;
        return nullptr;
    }
    return fiber;
}

// The fiber resumes where it left, in entry's loop, which starts the next run.
void reuseSwitchFiber(SwitchFiber& /*fiber*/, void (* /*entry*/)(void*), void* /*argument*/) {}

void destroySwitchFiber(SwitchFiber* fiber) {
    DeleteFiber(fiber->handle);
    delete fiber;
}

void enterSwitchFiber(SwitchThread& /*thread*/, SwitchFiber& fiber) {
    SwitchToFiber(fiber.handle);
}

void leaveSwitchFiber(SwitchFiber& /*fiber*/, SwitchThread& thread, bool /*finishing*/) {
    SwitchToFiber(thread.handle);
}
