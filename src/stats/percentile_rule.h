// The summary's percentile rule over sparse counts of any resolution.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

// The bucket holding the entry at 0-based position floor(n * p / 100) of the
// n sorted latencies, clamped to the last entry; null when there are none.
// Bucket has a count field and counts is ascending.
template <typename Bucket>
const Bucket* bucketAtPercentile(const std::vector<Bucket>& counts, double percent) {
    std::uint64_t entries = 0;
    for (const Bucket& bucket : counts) entries += bucket.count;
    if (entries == 0) return nullptr;
    const double position = static_cast<double>(entries) * percent / 100.0;
    auto index = static_cast<std::uint64_t>(position);
    if (index >= entries) index = entries - 1;
    // Walk the buckets until the one holding the index-th sorted latency.
    std::uint64_t before = 0;
    for (const Bucket& bucket : counts) {
        before += bucket.count;
        if (index < before) return &bucket;
    }
    return &counts.back();
}

// Adds ascending sparse counts into ascending sparse counts; the bucket's
// place is key(bucket). False when a count would pass 64 bits.
template <typename Bucket, typename Key>
bool addSparseCounts(std::vector<Bucket>& total, const std::vector<Bucket>& more, Key key) {
    std::vector<Bucket> both;
    both.reserve(total.size() + more.size());
    auto a = total.begin();
    auto b = more.begin();
    while (a != total.end() || b != more.end()) {
        const bool takeA = b == more.end() || (a != total.end() && key(*a) <= key(*b));
        const Bucket bucket = takeA ? *a++ : *b++;
        if (!both.empty() && key(both.back()) == key(bucket)) {
            if (bucket.count > UINT64_MAX - both.back().count) return false;
            both.back().count += bucket.count;
        } else {
            both.push_back(bucket);
        }
    }
    total = std::move(both);
    return true;
}
