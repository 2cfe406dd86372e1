#include "report/plot_page.h"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string_view>

#include <nlohmann/json.hpp>

#include "config/messages.h"
#include "plot_page_files.h"
#include "stats/fine_counts.h"
#include "stats/latency_block.h"
#include "stats/run_summary.h"

namespace {

using nlohmann::json;

constexpr int kStepsPerPercent = 10;  // points of the percentile curve per percent

// Each kind that has errors, by its summary name, with its errors per
// second; empty for runs saved without kinds.
json errorKindSeries(const RunResult& result) {
    json kinds = json::array();
    if (!result.hasErrorKinds) return kinds;
    for (std::size_t kind = 0; kind < kErrorKindCount; ++kind) {
        if (result.errorKinds[kind] == 0) continue;
        json counts = json::array();
        for (const SecondSample& second : result.seconds) counts.push_back(second.errorKinds[kind]);
        kinds.push_back({{"name", kErrorKindNames[kind]}, {"errors", counts}});
    }
    return kinds;
}

// The starts the run planned in each row's second: the plan's integral over
// it, or -q; the rows after the run time planned none. Empty for an unpaced run.
json plannedSeries(const RunResult& result) {
    json planned = json::array();
    const bool hasPlan = !result.ratePlan.steps.empty();
    if (!hasPlan && result.targetQps <= 0) return planned;
    constexpr std::int64_t kSecondNs = 1'000'000'000;
    for (std::size_t i = 0; i < result.seconds.size(); ++i) {
        const auto second = static_cast<std::int64_t>(i);
        if (second >= result.durationSec) {
            planned.push_back(0);
        } else if (hasPlan) {
            planned.push_back(plannedCountBefore(result.ratePlan, (second + 1) * kSecondNs) -
                              plannedCountBefore(result.ratePlan, second * kSecondNs));
        } else {
            planned.push_back(result.targetQps);
        }
    }
    return planned;
}

json secondsSeries(const RunResult& result) {
    json series = {{"second", json::array()},         {"connectionsHeld", json::array()},
                   {"completed", json::array()},      {"meanLatencyMs", json::array()},
                   {"errors", json::array()},         {"errorKinds", errorKindSeries(result)},
                   {"planned", plannedSeries(result)}};
    for (std::size_t i = 0; i < result.seconds.size(); ++i) {
        const SecondSample& second = result.seconds[i];
        series["second"].push_back(i + 1);
        series["completed"].push_back(second.completed);
        series["meanLatencyMs"].push_back(second.meanLatencyMs);
        series["errors"].push_back(second.errors);
        if (result.hasConnections) series["connectionsHeld"].push_back(second.connectionsHeld);
    }
    return series;
}

// The connect and handshake times at each whole percent and at 99.9 and
// 100 %, in ms; null for runs saved without them.
json connectionTimes(const RunResult& result) {
    if (!result.hasConnections) return nullptr;
    json times = {
        {"percent", json::array()}, {"connectMs", json::array()}, {"handshakeMs", json::array()}};
    const ConnectionFigures& figures = result.connections;
    std::vector<double> percents;
    for (int percent = 0; percent < 100; ++percent) percents.push_back(percent);
    percents.insert(percents.end(), {99.9, 100.0});
    for (const double percent : percents) {
        times["percent"].push_back(percent);
        times["connectMs"].push_back(finePercentileUs(figures.connectCounts, percent) / 1000.0);
        if (!figures.handshakeCounts.empty()) {
            times["handshakeMs"].push_back(finePercentileUs(figures.handshakeCounts, percent) /
                                           1000.0);
        }
    }
    return times;
}

// The run's figures as JSON for the page's script. Every "<" becomes an
// escape, so no text of the run (the URL) can end the script element early.
std::string runData(const RunResult& result) {
    std::ostringstream summary;
    printRunSummary(result, summary);
    const PercentileCurve curve = percentileCurve(result);
    json data = {{"title", result.url},
                 {"summary", summary.str()},
                 {"seconds", secondsSeries(result)},
                 {"percentiles", {{"percent", curve.percent}, {"latencyMs", curve.latencyMs}}},
                 {"spectrum", nullptr},
                 {"connectionTimes", connectionTimes(result)}};
    // Runs saved without fine counts keep the chart of whole milliseconds.
    if (result.hasFineCounts) {
        const LatencySpectrum spectrum = latencySpectrum(result);
        data["spectrum"] = {{"inverseTail", spectrum.inverseTail},
                            {"sentMs", spectrum.sentMs},
                            {"plannedMs", spectrum.plannedMs}};
    }
    const std::string text = data.dump(-1, ' ', false, json::error_handler_t::replace);
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        if (c == '<') {
            escaped += "\\u003c";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

}  // namespace

PercentileCurve percentileCurve(const RunResult& result) {
    PercentileCurve curve;
    std::uint32_t longestMs = 0;
    for (const LatencyBucket& bucket : result.latencyCounts) longestMs = bucket.latencyMs;
    for (int step = 0; step <= 100 * kStepsPerPercent; ++step) {
        const double percent = static_cast<double>(step) / kStepsPerPercent;
        curve.percent.push_back(percent);
        curve.latencyMs.push_back(step == 100 * kStepsPerPercent
                                      ? longestMs
                                      : latencyPercentileMs(result.latencyCounts, percent));
    }
    return curve;
}

LatencySpectrum latencySpectrum(const RunResult& result) {
    constexpr int kStepsPerDecade = 20;
    LatencySpectrum spectrum;
    std::uint64_t requests = 0;
    for (const FineBucket& bucket : result.fineCounts) requests += bucket.count;
    const bool planned = showsPlannedLatency(result);
    for (int step = 0;; ++step) {
        double inverseTail = std::pow(10.0, static_cast<double>(step) / kStepsPerDecade);
        const bool last = inverseTail >= static_cast<double>(requests);
        if (last) inverseTail = std::max(1.0, static_cast<double>(requests));
        // The last point is the longest request, of either column.
        const double percent = last ? 100.0 : 100.0 * (1.0 - 1.0 / inverseTail);
        spectrum.inverseTail.push_back(inverseTail);
        spectrum.sentMs.push_back(finePercentileUs(result.fineCounts, percent) / 1000.0);
        if (planned) {
            spectrum.plannedMs.push_back(finePercentileUs(result.plannedFineCounts, percent) /
                                         1000.0);
        }
        if (last) return spectrum;
    }
}

std::string plotPage(const RunResult& result) {
    const std::pair<std::string_view, std::string> fills[] = {
        {"{{UPLOT_STYLE}}", std::string(kUplotStyle)},
        {"{{UPLOT_SCRIPT}}", std::string(kUplotScript)},
        {"{{RUN_DATA}}", runData(result)},
    };
    // Markers are replaced in the template only, never in what was put in.
    std::string page;
    std::size_t from = 0;
    for (const auto& [marker, fill] : fills) {
        const std::size_t at = kPlotTemplate.find(marker, from);
        page.append(kPlotTemplate.substr(from, at - from));
        page.append(fill);
        from = at + marker.size();
    }
    page.append(kPlotTemplate.substr(from));
    return page;
}
