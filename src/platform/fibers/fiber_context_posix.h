// Stackful fibers for the POSIX thread pool: a stack of their own and a switch
// between two contexts that costs a few nanoseconds and no system call.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

struct SharedStack;

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
    SharedStack* sharedStack = nullptr;       // the stack it takes turns on, or none: its own
    char* savedFrames = nullptr;              // its live frames while another fiber has the stack
    std::size_t savedBytes = 0;               // bytes of them, from its stack pointer to the top
    std::size_t savedCapacity = 0;            // bytes allocated at savedFrames
};

// A stack the fibers of one worker take turns on. The fiber running has its
// frames there; each other one keeps a copy of its own live frames, a few
// hundred bytes while it waits, where a stack of its own would keep whole
// resident pages. Nothing outside a fiber may hold the address of anything
// on its stack while it is switched out: the next fiber's frames are there.
struct SharedStack {
    void* base = nullptr;              // lowest usable address, above its guard page
    std::size_t bytes = 0;             // usable size in bytes
    FiberContext* occupant = nullptr;  // the fiber whose frames are on it, or none
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

// The lowest usable address of a stack of stackBytes from the arena, with a
// guard page below it; null when no memory is left.
char* takeStackSlot(FiberStackArena& arena, std::size_t stackBytes);

// Gives `fiber` a stack of stackBytes from the arena and prepares it to start
// in entry(argument) on its first switch. False when no memory is left. entry
// must never return: it ends by switching away with finishing set.
bool prepareFiber(FiberStackArena& arena, FiberContext& fiber, std::size_t stackBytes,
                  void (*entry)(void*), void* argument);

// Whether this build switches fibers on shared stacks (x86-64); elsewhere
// each fiber has a stack of its own.
bool sharedStacksAvailable();
// Takes a stack of stackBytes from the arena for fibers to share; false when
// no memory is left.
bool prepareSharedStack(FiberStackArena& arena, SharedStack& stack, std::size_t stackBytes);
// Prepares `fiber` to start in entry(argument) on the shared stack; false
// when no memory is left for its copy.
bool prepareSharedFiber(SharedStack& stack, FiberContext& fiber, void (*entry)(void*),
                        void* argument);
// Before a switch to `fiber`: puts its frames on its shared stack, keeping a
// copy of those of the fiber that was there. Nothing for a stack of its own.
void occupyStack(FiberContext& fiber);
// A fiber whose run is over leaves its frames on the stack for whoever comes next.
void vacateStack(FiberContext& fiber);

// Prepares a fiber whose stack came from an earlier fiber that has ended.
void restartFiber(FiberContext& fiber, void (*entry)(void*), void* argument);

// Lets a copy read or write stack bytes that AddressSanitizer keeps as redzones.
void unpoisonStackBytes(void* address, std::size_t bytes);
// Frees the copy of a shared-stack fiber's frames.
void releaseSavedFrames(FiberContext& fiber);

// Drops what a fiber holds besides its stack; the stack goes with the arena.
void retireFiber(FiberContext& fiber);
void releaseFiberStacks(FiberStackArena& arena);

// Saves the running context in `from` and resumes `to`. finishing: `from` will
// never be resumed (its sanitizer state is dropped).
void switchFiber(FiberContext& from, FiberContext& to, bool finishing);
