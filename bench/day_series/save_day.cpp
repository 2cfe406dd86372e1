// What a day-long run's result costs at its end: a run of 86,400 seconds
// (one per-second row each) with figures like a busy run's, written with
// velkor's own --save code and read back with velkor-report's. Built and
// run by bench/run_length.py against the build's libvelkor_core.a.
//
// Usage: save_day ROWS FILE; prints "rows N bytes B write_ms W read_ms R
// series_mib S".
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "results/result_file_read.h"
#include "results/result_file_write.h"
#include "stats/fine_counts.h"

namespace {

// A busy run's figures: every row holds requests, a mean, errors of two
// kinds and the connections, and the latency counts spread over 2,000 ms.
SavedRun dayRun(std::int32_t rows) {
    SavedRun run;
    RunResult& result = run.result;
    result.url = "http://127.0.0.1:8080/";
    result.durationSec = rows;
    result.concurrency = 10'000;
    run.wholeConcurrency = 10'000;
    result.processorCount = 2;
    result.startUnixNs = 1'765'000'000'000'000'000;
    result.endUnixNs = result.startUnixNs + static_cast<std::int64_t>(rows) * 1'000'000'000;
    result.hasErrorKinds = true;
    result.hasFineCounts = true;
    result.hasConnections = true;
    for (std::int32_t second = 0; second <= rows; ++second) {
        const std::uint64_t completed = 50'000 + static_cast<std::uint64_t>(second % 977);
        SecondSample row{completed, 0.2 + (second % 101) / 1000.0, 3, {1, 0, 0, 0, 2}, 10'000, 1};
        result.seconds.push_back(row);
        result.completed += completed;
        result.errors += 3;
        result.errorKinds[0] += 1;
        result.errorKinds[4] += 2;
        result.connections.opened += 1;
    }
    std::uint64_t left = result.completed;
    for (std::uint32_t ms = 0; ms < 2000 && left > 0; ++ms) {
        const std::uint64_t count = ms == 1999 || left < 2 ? left : left / 2;
        result.latencyCounts.push_back({ms, count});
        result.fineCounts.push_back(
            {fineBucketLowUs(fineBucketIndex(static_cast<std::int64_t>(ms) * 1'000'000)), count});
        left -= count;
    }
    result.statusClasses.status2xx = result.completed;
    result.latencySumNs = static_cast<double>(result.completed) * 2e5;
    return run;
}

double msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: save_day ROWS FILE\n");
        return 2;
    }
    const SavedRun run = dayRun(std::atoi(argv[1]));
    auto start = std::chrono::steady_clock::now();
    if (!writeResultFile(argv[2], run)) return 1;
    const double writeMs = msSince(start);
    start = std::chrono::steady_clock::now();
    SavedRun read;
    std::string problem;
    if (!readResultFile(argv[2], read, problem)) {
        std::fprintf(stderr, "save_day: %s\n", problem.c_str());
        return 1;
    }
    const double readMs = msSince(start);
    std::FILE* file = std::fopen(argv[2], "rb");
    std::fseek(file, 0, SEEK_END);
    const long bytes = std::ftell(file);
    std::fclose(file);
    const double seriesMiB =
        static_cast<double>(run.result.seconds.capacity() * sizeof(SecondSample)) / (1 << 20);
    std::printf("rows %zu bytes %ld write_ms %.1f read_ms %.1f series_mib %.1f\n",
                run.result.seconds.size(), bytes, writeMs, readMs, seriesMiB);
    return 0;
}
