#include "stats/latency_shard.h"

#include <algorithm>
#include <climits>
#include <thread>

#include "platform/os/clock.h"

namespace {

// A shard has one writer: a plain read and write is enough, and costs no
// locked instruction on the request's path.
void bump(std::atomic<std::uint64_t>& counter, std::uint64_t amount) {
    counter.store(counter.load(std::memory_order_relaxed) + amount, std::memory_order_relaxed);
}

LatencyPage& pageFor(LatencyShard& shard, std::uint32_t pageIndex) {
    LatencyPage* page = shard.pages[pageIndex].load(std::memory_order_relaxed);
    if (page == nullptr) {
        page = new LatencyPage{};
        // Release: a reader that sees the page also sees its zeroed counters.
        shard.pages[pageIndex].store(page, std::memory_order_release);
    }
    return *page;
}

std::size_t statusClassIndex(int statusCode) {
    if (statusCode < 200 || statusCode > 599) return kStatusClassCount - 1;
    return static_cast<std::size_t>(statusCode / 100 - 2);
}

void addOverflowCounts(const LatencyShard& shard, std::map<std::uint32_t, std::uint64_t>& into) {
    std::lock_guard<std::mutex> guard(shard.overflowLock);
    for (const auto& [latencyMs, count] : shard.overflowCounts) into[latencyMs] += count;
}

}  // namespace

LatencyShard::~LatencyShard() {
    for (auto& page : pages) delete page.load();
}

void addLatency(LatencyShard& shard, std::int64_t latencyNs) {
    if (latencyNs < 0) latencyNs = 0;
    const std::int64_t wholeMs = latencyNs / kNsPerMs;
    const auto latencyMs = static_cast<std::uint32_t>(std::min<std::int64_t>(wholeMs, UINT32_MAX));
    addFine(shard.sentCounts, latencyNs);
    if (latencyMs < kDenseLatencyLimitMs) {
        bump(pageFor(shard, latencyMs / kLatencyPageMs).counts[latencyMs % kLatencyPageMs], 1);
    } else {
        std::lock_guard<std::mutex> guard(shard.overflowLock);
        ++shard.overflowCounts[latencyMs];
    }
    const std::uint64_t sequence = shard.sequence.load(std::memory_order_relaxed);
    shard.sequence.store(sequence + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    bump(shard.count, 1);
    bump(shard.sumNs, static_cast<std::uint64_t>(latencyNs));
    shard.sequence.store(sequence + 2, std::memory_order_release);
}

void addPlannedLatency(LatencyShard& shard, std::int64_t latencyNs) {
    addFine(shard.plannedCounts, latencyNs);
}

void addStatusCode(LatencyShard& shard, int statusCode) {
    bump(shard.statusClasses[statusClassIndex(statusCode)], 1);
}

void addError(LatencyShard& shard, ErrorKind kind, std::int64_t osErrorCode) {
    bump(shard.errorKinds[static_cast<std::size_t>(kind)], 1);
    if (kind != ErrorKind::Other) return;
    // The last slot is code 0's: no code known, or no slot left for it.
    OsErrorSlot* slot = &shard.otherCodes[kOsErrorCodeSlots - 1];
    for (std::size_t i = 0; osErrorCode > 0 && i + 1 < kOsErrorCodeSlots; ++i) {
        const std::int64_t held = shard.otherCodes[i].code.load(std::memory_order_relaxed);
        if (held == osErrorCode || held == -1) {
            slot = &shard.otherCodes[i];
            break;
        }
    }
    bump(slot->count, 1);
    // Release: a reader that sees the code also sees its first count.
    if (slot->code.load(std::memory_order_relaxed) == -1) {
        slot->code.store(slot == &shard.otherCodes[kOsErrorCodeSlots - 1] ? 0 : osErrorCode,
                         std::memory_order_release);
    }
}

void clearShard(LatencyShard& shard) {
    for (auto& page : shard.pages) {
        LatencyPage* counts = page.load();
        if (counts == nullptr) continue;
        for (auto& count : counts->counts) count.store(0);
    }
    {
        std::lock_guard<std::mutex> guard(shard.overflowLock);
        shard.overflowCounts.clear();
    }
    shard.count.store(0);
    shard.sumNs.store(0);
    clearFine(shard.sentCounts);
    clearFine(shard.plannedCounts);
    for (auto& statusClass : shard.statusClasses) statusClass.store(0);
    for (auto& kind : shard.errorKinds) kind.store(0);
    for (OsErrorSlot& slot : shard.otherCodes) {
        slot.code.store(-1);
        slot.count.store(0);
    }
    clearConnectionShard(shard.connections);
}

LatencyTotals readTotals(const LatencyShard& shard) {
    for (;;) {
        const std::uint64_t before = shard.sequence.load(std::memory_order_acquire);
        if (before % 2 == 1) {
            // The owner is between its two stores; it needs only a moment.
            std::this_thread::yield();
            continue;
        }
        LatencyTotals totals;
        totals.count = shard.count.load(std::memory_order_relaxed);
        totals.sumNs = static_cast<double>(shard.sumNs.load(std::memory_order_relaxed));
        std::atomic_thread_fence(std::memory_order_acquire);
        if (shard.sequence.load(std::memory_order_relaxed) == before) return totals;
    }
}

StatusClassCounts readStatusClasses(const LatencyShard& shard) {
    StatusClassCounts classes;
    classes.status2xx = shard.statusClasses[0].load(std::memory_order_relaxed);
    classes.status3xx = shard.statusClasses[1].load(std::memory_order_relaxed);
    classes.status4xx = shard.statusClasses[2].load(std::memory_order_relaxed);
    classes.status5xx = shard.statusClasses[3].load(std::memory_order_relaxed);
    classes.other = shard.statusClasses[4].load(std::memory_order_relaxed);
    return classes;
}

void addErrorKinds(const LatencyShard& shard, ErrorKindCounts& sums) {
    for (std::size_t kind = 0; kind < kErrorKindCount; ++kind) {
        sums[kind] += shard.errorKinds[kind].load(std::memory_order_relaxed);
    }
}

void addOtherErrorCodes(const LatencyShard& shard, std::map<std::int64_t, std::uint64_t>& sums) {
    for (const OsErrorSlot& slot : shard.otherCodes) {
        const std::int64_t code = slot.code.load(std::memory_order_acquire);
        if (code != -1) sums[code] += slot.count.load(std::memory_order_relaxed);
    }
}

std::vector<LatencyBucket> mergeLatencyCounts(const std::vector<const LatencyShard*>& shards) {
    std::vector<LatencyBucket> merged;
    // Page by page, so the merge needs one page of sums, not the whole range.
    for (std::uint32_t pageIndex = 0; pageIndex < kLatencyPageCount; ++pageIndex) {
        std::uint64_t sums[kLatencyPageMs] = {};
        bool hit = false;
        for (const LatencyShard* shard : shards) {
            const LatencyPage* page = shard->pages[pageIndex].load(std::memory_order_acquire);
            if (page == nullptr) continue;
            hit = true;
            for (std::uint32_t slot = 0; slot < kLatencyPageMs; ++slot) {
                sums[slot] += page->counts[slot].load(std::memory_order_relaxed);
            }
        }
        if (!hit) continue;
        for (std::uint32_t slot = 0; slot < kLatencyPageMs; ++slot) {
            if (sums[slot] > 0) merged.push_back({pageIndex * kLatencyPageMs + slot, sums[slot]});
        }
    }
    std::map<std::uint32_t, std::uint64_t> overflow;
    for (const LatencyShard* shard : shards) addOverflowCounts(*shard, overflow);
    for (const auto& [latencyMs, count] : overflow) merged.push_back({latencyMs, count});
    return merged;
}

std::vector<FineBucket> mergeFineCounts(const std::vector<const LatencyShard*>& shards,
                                        bool fromPlannedStart) {
    std::vector<std::uint64_t> sums;
    for (const LatencyShard* shard : shards) {
        sumFine(fromPlannedStart ? shard->plannedCounts : shard->sentCounts, sums);
    }
    return sparseFine(sums);
}
