#include "stall_mode.h"

#include <atomic>
#include <chrono>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Arrivals the log holds; later ones are counted but not logged. Zeroed
// pages cost nothing until touched.
constexpr std::size_t kArrivalCapacity = 8u << 20;

struct StallState {
    std::int64_t stallAtMs = -1;                   // stall start after the first request; -1: none
    std::int64_t stallMs = 0;                      // stall length, ms
    std::string arrivalLogPath;                    // --arrival-log; empty: none
    std::atomic<std::int64_t> firstArrivalNs{-1};  // steady clock of the first request, ns
    std::atomic<std::size_t> arrivals{0};          // requests arrived so far
    std::int64_t* arrivalNs = nullptr;             // ns after the first request, by order
};

StallState g_stall;

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

bool readMs(std::string_view value, std::int64_t& out) {
    std::int64_t parsed = 0;
    const auto [end, problem] = std::from_chars(value.data(), value.data() + value.size(), parsed);
    if (problem != std::errc() || end != value.data() + value.size() || parsed < 0 ||
        parsed > 86'400'000) {
        return false;
    }
    out = parsed;
    return true;
}

}  // namespace

const char* const kStallUsage =
    "  --stall-at-ms N       N ms after the first request, stop answering for the\n"
    "  --stall-ms M          M ms of --stall-ms, once; what arrives meanwhile is\n"
    "                        answered when the stall ends\n"
    "  --arrival-log FILE    at exit, write each request's arrival, ns after the\n"
    "                        first request, one per line\n";

bool isStallOption(std::string_view name) {
    return name == "--stall-at-ms" || name == "--stall-ms" || name == "--arrival-log";
}

bool applyStallOption(std::string_view name, std::string_view value, std::string& error) {
    if (name == "--arrival-log") {
        g_stall.arrivalLogPath = std::string(value);
        g_stall.arrivalNs =
            static_cast<std::int64_t*>(std::calloc(kArrivalCapacity, sizeof(std::int64_t)));
        if (!value.empty() && g_stall.arrivalNs != nullptr) return true;
        error = "--arrival-log needs a file name";
        return false;
    }
    std::int64_t& field = name == "--stall-at-ms" ? g_stall.stallAtMs : g_stall.stallMs;
    if (readMs(value, field)) return true;
    error = std::string(name) + " needs a whole number from 0 to 86400000, not '" +
            std::string(value) + "'";
    return false;
}

void noteRequestArrival() {
    const std::int64_t arrivedNs = nowNs();
    std::int64_t firstNs = -1;
    if (!g_stall.firstArrivalNs.compare_exchange_strong(firstNs, arrivedNs)) {
        // Another request was first; firstNs now holds its arrival.
    } else {
        firstNs = arrivedNs;
    }
    const std::size_t index = g_stall.arrivals.fetch_add(1);
    if (g_stall.arrivalNs != nullptr && index < kArrivalCapacity) {
        std::atomic_ref<std::int64_t>(g_stall.arrivalNs[index]).store(arrivedNs - firstNs);
    }
    if (g_stall.stallAtMs < 0) return;
    const std::int64_t stallStartNs = firstNs + g_stall.stallAtMs * 1'000'000;
    const std::int64_t stallEndNs = stallStartNs + g_stall.stallMs * 1'000'000;
    if (arrivedNs >= stallStartNs && arrivedNs < stallEndNs) {
        std::this_thread::sleep_for(std::chrono::nanoseconds(stallEndNs - arrivedNs));
    }
}

bool writeArrivalLog() {
    if (g_stall.arrivalLogPath.empty()) return true;
    std::FILE* file = std::fopen(g_stall.arrivalLogPath.c_str(), "w");
    if (file == nullptr) {
        std::fprintf(stderr, "velkor_target: cannot write %s\n", g_stall.arrivalLogPath.c_str());
        return false;
    }
    std::size_t count = g_stall.arrivals.load();
    if (count > kArrivalCapacity) count = kArrivalCapacity;
    for (std::size_t i = 0; i < count; ++i) {
        const std::int64_t value = std::atomic_ref<std::int64_t>(g_stall.arrivalNs[i]).load();
        std::fprintf(file, "%lld\n", static_cast<long long>(value));
    }
    return std::fclose(file) == 0;
}
