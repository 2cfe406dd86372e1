#include "stats/latency_block.h"

#include <cstdio>
#include <ostream>

#include "stats/fine_counts.h"

bool showsPlannedLatency(const RunResult& result) {
    return result.targetQps > 0 || !result.ratePlan.steps.empty();
}

std::string formatMicrosecondsAsMs(std::uint64_t us, int width) {
    // Integer digits, so no rounding can turn 0.9995 into 1.000.
    char text[48];
    std::snprintf(text, sizeof text, "%llu.%03llu", static_cast<unsigned long long>(us / 1000),
                  static_cast<unsigned long long>(us % 1000));
    std::string field(text);
    if (static_cast<int>(field.size()) < width) field.insert(0, width - field.size(), ' ');
    return field;
}

void printLatencyBlock(const RunResult& result, std::ostream& out) {
    const bool planned = showsPlannedLatency(result);
    out << "\nLatency distribution (ms)"
        << (planned ? ": from the send, and from the planned start" : "") << std::endl;
    printPercentileRows(kLatencyBlockPercents, result.fineCounts,
                        planned ? &result.plannedFineCounts : nullptr, out);
}

void printPercentileRows(std::span<const double> percents, const std::vector<FineBucket>& first,
                         const std::vector<FineBucket>* second, std::ostream& out) {
    for (const double percent : percents) {
        char label[16];
        std::snprintf(label, sizeof label, "%8.3f%%", percent);
        std::string line = label + formatMicrosecondsAsMs(finePercentileUs(first, percent), 10);
        if (second != nullptr)
            line += formatMicrosecondsAsMs(finePercentileUs(*second, percent), 10);
        out << line << std::endl;
    }
}
