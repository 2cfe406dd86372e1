// Fiber stacks and the context switch. On x86-64 the switch saves the six
// callee-saved registers on the old stack and pops them from the new one;
// elsewhere it falls back on swapcontext, which also saves the signal mask.
#include "platform/fibers/fiber_context_posix.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELKOR_ASAN 1
#endif
#if __has_feature(thread_sanitizer)
#define VELKOR_TSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VELKOR_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__)
#define VELKOR_TSAN 1
#endif

#if VELKOR_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif
#if VELKOR_TSAN
#include <sanitizer/tsan_interface.h>
#endif

#if defined(__x86_64__)
extern "C" void velkorSwitchStack(void** saveStackPointer, void* loadStackPointer);
extern "C" void velkorFiberTrampoline();
asm(R"(
    .text
    .globl velkorSwitchStack
    .type velkorSwitchStack, @function
velkorSwitchStack:
    pushq %rbp
    pushq %rbx
    pushq %r12
    pushq %r13
    pushq %r14
    pushq %r15
    movq %rsp, (%rdi)
    movq %rsi, %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rbx
    popq %rbp
    ret
    .size velkorSwitchStack, .-velkorSwitchStack

    .globl velkorFiberTrampoline
    .type velkorFiberTrampoline, @function
velkorFiberTrampoline:
    movq %r13, %rdi
    andq $-16, %rsp
    callq velkorFiberStart
    ud2
    .size velkorFiberTrampoline, .-velkorFiberTrampoline
    .section .note.GNU-stack, "", @progbits
    .text
)");
#else
#include <ucontext.h>
#endif

namespace {

std::size_t pageBytes() {
    static const std::size_t bytes = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return bytes;
}

// Called on the new stack by the trampoline.
void startFiber(FiberContext* fiber) {
#if VELKOR_ASAN
    __sanitizer_finish_switch_fiber(nullptr, &fiber->callerStackBottom, &fiber->callerStackBytes);
#endif
    fiber->entry(fiber->entryArgument);
    __builtin_trap();  // entry switches away for good instead of returning
}

#if !defined(__x86_64__)
// swapcontext keeps a ucontext_t where the x86-64 switch keeps a stack pointer.
void startFromUcontext(unsigned high, unsigned low) {
    const auto address = (static_cast<std::uintptr_t>(high) << 32) | low;
    startFiber(reinterpret_cast<FiberContext*>(address));
}
#endif

#if defined(__x86_64__)
char* stackTop(const FiberContext& fiber) {
    auto top = reinterpret_cast<std::uintptr_t>(fiber.stackBase) + fiber.stackBytes;
    return reinterpret_cast<char*>(top & ~static_cast<std::uintptr_t>(15));
}
#endif

void placeInitialFrame(FiberContext& fiber) {
#if defined(__x86_64__)
    void* frame[8] = {};
    // Popped as r15, r14, r13 (the fiber), r12, rbx, rbp, then the return address.
    frame[2] = &fiber;
    frame[6] = reinterpret_cast<void*>(&velkorFiberTrampoline);
    char* top = stackTop(fiber);
    fiber.stackPointer = top - sizeof(frame);
    // On a shared stack another fiber's frames may be where this one starts:
    // the first frame waits in the copy until the fiber's turn.
    std::memcpy(fiber.sharedStack != nullptr ? fiber.savedFrames : fiber.stackPointer, frame,
                sizeof(frame));
    fiber.savedBytes = sizeof(frame);
#else
    auto* context = static_cast<ucontext_t*>(fiber.stackPointer);
    getcontext(context);
    context->uc_stack.ss_sp = fiber.stackBase;
    context->uc_stack.ss_size = fiber.stackBytes - sizeof(ucontext_t);
    context->uc_link = nullptr;
    const auto address = reinterpret_cast<std::uintptr_t>(&fiber);
    makecontext(context, reinterpret_cast<void (*)()>(&startFromUcontext), 2,
                static_cast<unsigned>(address >> 32), static_cast<unsigned>(address));
#endif
}

}  // namespace

extern "C" void velkorFiberStart(FiberContext* fiber) {
    startFiber(fiber);
}

void adoptThreadContext(FiberContext& thread) {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        pthread_attr_getstack(&attributes, &thread.stackBase, &thread.stackBytes);
        pthread_attr_destroy(&attributes);
    }
#if !defined(__x86_64__)
    static thread_local ucontext_t threadContext;
    thread.stackPointer = &threadContext;
#endif
#if VELKOR_TSAN
    thread.sanitizerFiber = __tsan_get_current_fiber();
#endif
}

namespace {

constexpr std::size_t kStacksPerMapping = 64;

bool mapMoreStacks(FiberStackArena& arena, std::size_t slotBytes) {
    const std::size_t bytes = slotBytes * kStacksPerMapping;
    // Reserved, not committed: a fiber touches only the pages it uses.
    void* mapping = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
    if (mapping == MAP_FAILED) return false;
    try {
        arena.mappings.emplace_back(mapping, bytes);
    } catch (const std::bad_alloc&) {
        munmap(mapping, bytes);
        return false;
    }
    arena.nextStack = static_cast<char*>(mapping);
    arena.slotsLeft = kStacksPerMapping;
    return true;
}

}  // namespace

char* takeStackSlot(FiberStackArena& arena, std::size_t stackBytes) {
    const std::size_t guardBytes = pageBytes();
    const std::size_t slotBytes = stackBytes + guardBytes;
    if (arena.slotsLeft == 0 && !mapMoreStacks(arena, slotBytes)) return nullptr;
    char* slot = arena.nextStack;
    arena.nextStack += slotBytes;
    --arena.slotsLeft;
    // The lowest page of each slot faults on an overflow instead of letting the
    // stack run into its neighbour.
    mprotect(slot, guardBytes, PROT_NONE);
    return slot + guardBytes;
}

bool prepareFiber(FiberStackArena& arena, FiberContext& fiber, std::size_t stackBytes,
                  void (*entry)(void*), void* argument) {
    fiber.stackBase = takeStackSlot(arena, stackBytes);
    if (fiber.stackBase == nullptr) return false;
    fiber.stackBytes = stackBytes;
    restartFiber(fiber, entry, argument);
    return true;
}

void restartFiber(FiberContext& fiber, void (*entry)(void*), void* argument) {
    fiber.entry = entry;
    fiber.entryArgument = argument;
    fiber.sanitizerFakeStack = nullptr;
#if !defined(__x86_64__)
    // The ucontext_t lives at the top of the fiber's own stack.
    fiber.stackPointer =
        static_cast<char*>(fiber.stackBase) + fiber.stackBytes - sizeof(ucontext_t);
#endif
#if VELKOR_TSAN
    if (fiber.sanitizerFiber != nullptr) __tsan_destroy_fiber(fiber.sanitizerFiber);
    fiber.sanitizerFiber = __tsan_create_fiber(0);
#endif
    placeInitialFrame(fiber);
}

void retireFiber(FiberContext& fiber) {
    vacateStack(fiber);
    releaseSavedFrames(fiber);
#if VELKOR_TSAN
    if (fiber.sanitizerFiber != nullptr) __tsan_destroy_fiber(fiber.sanitizerFiber);
    fiber.sanitizerFiber = nullptr;
#endif
    fiber.stackBase = nullptr;
}

// Stack bytes are copied whole, redzones of the frames in them included; the
// fiber's own frames are poisoned again as its calls come and go.
void unpoisonStackBytes(void* address, std::size_t bytes) {
#if VELKOR_ASAN
    __asan_unpoison_memory_region(address, bytes);
#else
    (void)address;
    (void)bytes;
#endif
}

void releaseFiberStacks(FiberStackArena& arena) {
    for (const auto& [address, bytes] : arena.mappings) munmap(address, bytes);
    arena.mappings.clear();
    arena.slotsLeft = 0;
}

void switchFiber(FiberContext& from, FiberContext& to, bool finishing) {
#if VELKOR_ASAN
    __sanitizer_start_switch_fiber(finishing ? nullptr : &from.sanitizerFakeStack, to.stackBase,
                                   to.stackBytes);
#else
    (void)finishing;
#endif
#if VELKOR_TSAN
    __tsan_switch_to_fiber(to.sanitizerFiber, 0);
#endif
#if defined(__x86_64__)
    velkorSwitchStack(&from.stackPointer, to.stackPointer);
#else
    swapcontext(static_cast<ucontext_t*>(from.stackPointer),
                static_cast<ucontext_t*>(to.stackPointer));
#endif
#if VELKOR_ASAN
    __sanitizer_finish_switch_fiber(from.sanitizerFakeStack, &from.callerStackBottom,
                                    &from.callerStackBytes);
#endif
}
