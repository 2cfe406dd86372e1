// Fibers taking turns on one stack per worker (x86-64). A switch to a fiber
// that is not the one whose frames are on the stack copies that one's live
// frames out and the new one's in: a few hundred bytes each way, where a
// waiting client on a stack of its own keeps two or more resident pages.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/fibers/fiber_context_posix.h"

namespace {

// What the copies hold, for VELKOR_MEMORY_ACCOUNT: bytes allocated and
// fibers holding any, now and at their largest.
std::atomic<std::int64_t> g_savedBytes{0};
std::atomic<std::int64_t> g_savedFibers{0};
std::atomic<std::int64_t> g_largestSavedBytes{0};
std::atomic<std::int64_t> g_largestSavedFibers{0};

void noteLargest(std::atomic<std::int64_t>& largest, std::int64_t value) {
    std::int64_t seen = largest.load(std::memory_order_relaxed);
    while (value > seen && !largest.compare_exchange_weak(seen, value)) {
    }
}

void countSaved(std::int64_t bytes, std::int64_t fibers) {
    noteLargest(g_largestSavedBytes, g_savedBytes.fetch_add(bytes) + bytes);
    noteLargest(g_largestSavedFibers, g_savedFibers.fetch_add(fibers) + fibers);
}

// A copy grows to what it must hold and shrinks again once a deep wait (a
// handshake) is over, so a held connection keeps only what its shallow wait
// needs. False when no memory is left for a larger one.
bool reserveSavedFrames(FiberContext& fiber, std::size_t bytes) {
    const std::size_t wanted = (bytes + 127) & ~static_cast<std::size_t>(127);
    const bool fits = fiber.savedCapacity >= bytes;
    if (fits && fiber.savedCapacity <= 2 * wanted + 512) return true;
    auto* room = static_cast<char*>(std::malloc(wanted));
    if (room == nullptr) return fits;
    const bool first = fiber.savedFrames == nullptr;
    std::free(fiber.savedFrames);
    countSaved(static_cast<std::int64_t>(wanted) - static_cast<std::int64_t>(fiber.savedCapacity),
               first ? 1 : 0);
    fiber.savedFrames = room;
    fiber.savedCapacity = wanted;
    return true;
}

char* sharedTop(const SharedStack& stack) {
    auto top = reinterpret_cast<std::uintptr_t>(stack.base) + stack.bytes;
    return reinterpret_cast<char*>(top & ~static_cast<std::uintptr_t>(15));
}

// The fiber that was on the stack may run again only with its frames back:
// without room for their copy the worker cannot go on.
void saveFrames(FiberContext& fiber) {
    char* low = static_cast<char*>(fiber.stackPointer);
    const auto bytes = static_cast<std::size_t>(sharedTop(*fiber.sharedStack) - low);
    if (!reserveSavedFrames(fiber, bytes)) {
        std::fputs("velkor: out of memory for a waiting client's stack\n", stderr);
        std::_Exit(1);
    }
    unpoisonStackBytes(low, bytes);
    std::memcpy(fiber.savedFrames, low, bytes);
    fiber.savedBytes = bytes;
}

void restoreFrames(FiberContext& fiber) {
    char* low = sharedTop(*fiber.sharedStack) - fiber.savedBytes;
    unpoisonStackBytes(low, fiber.savedBytes);
    std::memcpy(low, fiber.savedFrames, fiber.savedBytes);
}

// Printed at the end when VELKOR_MEMORY_ACCOUNT is set, for the memory bench.
struct AccountAtExit {
    ~AccountAtExit() {
        const char* wanted = std::getenv("VELKOR_MEMORY_ACCOUNT");
        if (wanted == nullptr || *wanted == '\0') return;
        std::fprintf(stderr, "stacks: %lld bytes kept by %lld waiting clients at most\n",
                     static_cast<long long>(g_largestSavedBytes.load()),
                     static_cast<long long>(g_largestSavedFibers.load()));
    }
} g_accountAtExit;

}  // namespace

bool sharedStacksAvailable() {
#if defined(__x86_64__)
    return true;
#else
    return false;
#endif
}

bool prepareSharedStack(FiberStackArena& arena, SharedStack& stack, std::size_t stackBytes) {
    stack.base = takeStackSlot(arena, stackBytes);
    stack.bytes = stackBytes;
    stack.occupant = nullptr;
    return stack.base != nullptr;
}

bool prepareSharedFiber(SharedStack& stack, FiberContext& fiber, void (*entry)(void*),
                        void* argument) {
    fiber.sharedStack = &stack;
    fiber.stackBase = stack.base;
    fiber.stackBytes = stack.bytes;
    if (!reserveSavedFrames(fiber, 8 * sizeof(void*))) return false;
    restartFiber(fiber, entry, argument);
    return true;
}

void occupyStack(FiberContext& fiber) {
    SharedStack* stack = fiber.sharedStack;
    if (stack == nullptr || stack->occupant == &fiber) return;
    if (stack->occupant != nullptr) saveFrames(*stack->occupant);
    restoreFrames(fiber);
    stack->occupant = &fiber;
}

void vacateStack(FiberContext& fiber) {
    if (fiber.sharedStack != nullptr && fiber.sharedStack->occupant == &fiber) {
        fiber.sharedStack->occupant = nullptr;
    }
}

void releaseSavedFrames(FiberContext& fiber) {
    if (fiber.savedFrames != nullptr) {
        countSaved(-static_cast<std::int64_t>(fiber.savedCapacity), -1);
    }
    std::free(fiber.savedFrames);
    fiber.savedFrames = nullptr;
    fiber.savedCapacity = 0;
    fiber.savedBytes = 0;
}
