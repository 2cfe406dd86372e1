#include "stats/fine_counts.h"

#include <bit>

#include "stats/percentile_rule.h"

namespace {

constexpr int kLinearBits = 11;  // log2 of kFineLinearUs

}  // namespace

FineCounts::~FineCounts() {
    for (auto& page : pages) delete page.load();
}

std::uint64_t fineBucketIndex(std::int64_t latencyNs) {
    std::uint64_t us = latencyNs <= 0 ? 0 : static_cast<std::uint64_t>(latencyNs) / 1000;
    if (us < kFineLinearUs) return us;
    // The last doubling holds everything up to the largest 63-bit latency.
    if (us >= kFineLimitUs) us = kFineLimitUs - 1;
    // The doubling holds the value's top bit; the next ten bits pick the bucket.
    const int topBit = std::bit_width(us) - 1;
    const std::uint64_t doubling = static_cast<std::uint64_t>(topBit - kLinearBits);
    const std::uint64_t within = (us >> (topBit - 10)) - kFineBucketsPerDoubling;
    return kFineLinearUs + doubling * kFineBucketsPerDoubling + within;
}

std::uint64_t fineBucketLowUs(std::uint64_t bucketIndex) {
    if (bucketIndex < kFineLinearUs) return bucketIndex;
    const std::uint64_t above = bucketIndex - kFineLinearUs;
    const std::uint64_t doubling = above / kFineBucketsPerDoubling;
    const std::uint64_t within = above % kFineBucketsPerDoubling;
    return (kFineBucketsPerDoubling + within) << (doubling + 1);
}

bool isFineBucketLow(std::uint64_t lowUs) {
    if (lowUs >= kFineLimitUs) return false;
    const std::uint64_t index = fineBucketIndex(static_cast<std::int64_t>(lowUs) * 1000);
    return fineBucketLowUs(index) == lowUs;
}

void addFine(FineCounts& counts, std::int64_t latencyNs, std::uint64_t count) {
    const std::uint64_t index = fineBucketIndex(latencyNs);
    std::atomic<FinePage*>& slot = counts.pages[index / kFinePageBuckets];
    FinePage* page = slot.load(std::memory_order_relaxed);
    if (page == nullptr) {
        page = new FinePage{};
        // Release: a reader that sees the page also sees its zeroed counters.
        slot.store(page, std::memory_order_release);
    }
    // One writer: a plain read and write, no locked instruction.
    std::atomic<std::uint64_t>& counter = page->counts[index % kFinePageBuckets];
    counter.store(counter.load(std::memory_order_relaxed) + count, std::memory_order_relaxed);
}

void clearFine(FineCounts& counts) {
    for (auto& slot : counts.pages) {
        FinePage* page = slot.load();
        if (page == nullptr) continue;
        for (auto& counter : page->counts) counter.store(0);
    }
}

void sumFine(const FineCounts& counts, std::vector<std::uint64_t>& sums) {
    sums.resize(kFineBucketCount, 0);
    for (std::uint64_t pageIndex = 0; pageIndex < kFinePageCount; ++pageIndex) {
        const FinePage* page = counts.pages[pageIndex].load(std::memory_order_acquire);
        if (page == nullptr) continue;
        for (std::uint64_t slot = 0; slot < kFinePageBuckets; ++slot) {
            sums[pageIndex * kFinePageBuckets + slot] +=
                page->counts[slot].load(std::memory_order_relaxed);
        }
    }
}

std::vector<FineBucket> sparseFine(const std::vector<std::uint64_t>& sums) {
    std::vector<FineBucket> sparse;
    for (std::uint64_t index = 0; index < sums.size(); ++index) {
        if (sums[index] > 0) sparse.push_back({fineBucketLowUs(index), sums[index]});
    }
    return sparse;
}

std::uint64_t finePercentileUs(const std::vector<FineBucket>& counts, double percent) {
    const FineBucket* bucket = bucketAtPercentile(counts, percent);
    return bucket == nullptr ? 0 : bucket->lowUs;
}
