// The fiber switch seam of the scheduler: how a worker thread starts, enters
// and leaves its fibers. One file per mechanism: the project's own stack
// switch on POSIX (fiber_context_posix), the system's fibers on Windows.
#pragma once

#include <cstddef>

struct SwitchThread;  // a worker thread's own context, and where its fibers' stacks come from
struct SwitchFiber;   // one fiber's stack and saved registers

// Null when out of memory.
SwitchThread* createSwitchThread();
// Everything its fibers hold goes with it; none of them may run again.
void destroySwitchThread(SwitchThread* thread);

// Makes the calling thread the one that enters the fibers; false when refused.
bool enterSwitchThread(SwitchThread& thread);
void leaveSwitchThread(SwitchThread& thread);

// A fiber that runs entry(argument) on its first entry. entry never returns:
// it ends a run by leaving with finishing set, and loops for the next one.
// Null when out of memory.
SwitchFiber* createSwitchFiber(SwitchThread& thread, void (*entry)(void*), void* argument);
// Readies a fiber whose last run left with finishing set, for entry's next run.
void reuseSwitchFiber(SwitchFiber& fiber, void (*entry)(void*), void* argument);
void destroySwitchFiber(SwitchFiber* fiber);

// From the worker thread into the fiber, until it leaves.
void enterSwitchFiber(SwitchThread& thread, SwitchFiber& fiber);
// From the running fiber back to its worker thread. finishing: the fiber's run
// is over; it comes back only through reuseSwitchFiber.
void leaveSwitchFiber(SwitchFiber& fiber, SwitchThread& thread, bool finishing);
