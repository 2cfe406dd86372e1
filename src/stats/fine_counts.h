// Fine latency counts: one counter per bucket of 1 us below 2.048 ms, and
// above it 1024 buckets per doubling, so a bucket is never wider than 1 us
// or 0.1 % of the values in it, whichever is coarser. The buckets are fixed,
// so counts of any threads, processes or runs merge exactly by adding them.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "stats/run_result.h"

// Values below this many microseconds get a bucket each.
inline constexpr std::uint64_t kFineLinearUs = 2048;
// Buckets per doubling above the linear range.
inline constexpr std::uint64_t kFineBucketsPerDoubling = 1024;
// Buckets in all: the linear range, then the doublings from 2^11 us to the
// largest latency in nanoseconds that 63 bits hold (2^53 us).
inline constexpr std::uint64_t kFineBucketCount =
    kFineLinearUs + (53 - 11) * kFineBucketsPerDoubling;
// Latencies from this many microseconds on share the last bucket.
inline constexpr std::uint64_t kFineLimitUs = std::uint64_t{1} << 53;
// Buckets one page counts; a page is allocated when its range is first hit.
inline constexpr std::uint64_t kFinePageBuckets = 1024;
inline constexpr std::uint64_t kFinePageCount = kFineBucketCount / kFinePageBuckets;

// Aligned to a cache line so that another thread's counters never share one.
struct alignas(64) FinePage {
    std::atomic<std::uint64_t> counts[kFinePageBuckets];  // requests per bucket of the page
};

// One thread's fine counts. Only the owner writes; any thread may read.
struct FineCounts {
    FineCounts() = default;
    FineCounts(const FineCounts&) = delete;
    FineCounts& operator=(const FineCounts&) = delete;
    ~FineCounts();

    std::atomic<FinePage*> pages[kFinePageCount]{};  // null until a latency of its range comes
};

// The bucket of a latency; negative ones count as 0.
std::uint64_t fineBucketIndex(std::int64_t latencyNs);
// The smallest latency of a bucket, whole microseconds.
std::uint64_t fineBucketLowUs(std::uint64_t bucketIndex);
// Whether lowUs is the smallest latency of some bucket.
bool isFineBucketLow(std::uint64_t lowUs);

// Owner thread only: adds count requests of this latency.
void addFine(FineCounts& counts, std::int64_t latencyNs, std::uint64_t count = 1);
// Only while no thread records into the counts.
void clearFine(FineCounts& counts);
// Adds one thread's counts into per-bucket sums of kFineBucketCount entries.
void sumFine(const FineCounts& counts, std::vector<std::uint64_t>& sums);
// The sparse, ascending form of per-bucket sums.
std::vector<FineBucket> sparseFine(const std::vector<std::uint64_t>& sums);

// The latency at percentage p of the counted requests, by the summary's rule
// (the entry at 0-based position floor(n * p / 100), clamped to the last),
// as its bucket's smallest value in microseconds; 0 when there are none.
std::uint64_t finePercentileUs(const std::vector<FineBucket>& counts, double percent);
