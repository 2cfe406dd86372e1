// Stackful fibers for the POSIX thread pool: a stack of their own and a switch
// between two contexts that costs a few nanoseconds and no system call.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

struct FiberContext {
    void* stackPointer = nullptr;  // saved stack pointer while switched out
    void* stackBase = nullptr;     // lowest address of the mapped stack, null for a thread's own
    std::size_t stackBytes = 0;    // usable stack size in bytes, guard page excluded
    void* sanitizerFakeStack = nullptr;       // AddressSanitizer's fake stack while switched out
    void* sanitizerFiber = nullptr;           // ThreadSanitizer's fiber handle
    const void* callerStackBottom = nullptr;  // stack of whoever switched to us (AddressSanitizer)
    std::size_t callerStackBytes = 0;         // its size in bytes (AddressSanitizer)
    void (*entry)(void*) = nullptr;           // what the fiber runs on its first switch
    void* entryArgument = nullptr;            // entry's argument
};

// Turns the calling thread's own stack into a context that fibers can return to.
void adoptThreadContext(FiberContext& thread);

// Stacks are carved from large mappings and all unmapped together at the end:
// one unmap per stack would cost thousands of system calls at the end of a run.
struct FiberStackArena {
    std::vector<std::pair<void*, std::size_t>> mappings;  // address and bytes of each mapping
    char* nextStack = nullptr;                            // start of the next unused slot
    std::size_t slotsLeft = 0;                            // unused slots in the newest mapping
};

// Gives `fiber` a stack of stackBytes from the arena and prepares it to start
// in entry(argument) on its first switch. False when no memory is left. entry
// must never return: it ends by switching away with finishing set.
bool prepareFiber(FiberStackArena& arena, FiberContext& fiber, std::size_t stackBytes,
                  void (*entry)(void*), void* argument);

// Prepares a fiber whose stack came from an earlier fiber that has ended.
void restartFiber(FiberContext& fiber, void (*entry)(void*), void* argument);

// Drops what a fiber holds besides its stack; the stack goes with the arena.
void retireFiber(FiberContext& fiber);
void releaseFiberStacks(FiberStackArena& arena);

// Saves the running context in `from` and resumes `to`. finishing: `from` will
// never be resumed (its sanitizer state is dropped).
void switchFiber(FiberContext& from, FiberContext& to, bool finishing);
