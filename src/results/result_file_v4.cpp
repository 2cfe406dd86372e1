#include "results/result_file_v4.h"

#include <iterator>
#include <string>

#include "results/result_file_v2.h"

namespace {

using nlohmann::json;
using ordered = nlohmann::ordered_json;

static_assert(std::size(kServerCloseKeys) == kServerCloseCount, "a key for every close");

ordered finePairs(const std::vector<FineBucket>& counts) {
    ordered pairs = ordered::array();
    for (const FineBucket& bucket : counts)
        pairs.push_back(ordered::array({bucket.lowUs, bucket.count}));
    return pairs;
}

void readCloses(FieldReader& reader, const json& connections, ConnectionFigures& figures) {
    const json* closes =
        reader.member(connections, "closed_by_server", json::value_t::object, "an object");
    if (closes == nullptr) return;
    reader.where = "connections.closed_by_server.";
    for (std::size_t kind = 0; kind < kServerCloseCount; ++kind) {
        if (!reader.field(*closes, kServerCloseKeys[kind], figures.closes[kind])) break;
    }
    reader.where = "connections.";
}

// Null when the clients never all held a connection at once.
void readAllHeld(FieldReader& reader, const json& connections, ConnectionFigures& figures) {
    const auto found = connections.find("all_held_after_ns");
    if (found == connections.end()) {
        reader.fail("no \"connections.all_held_after_ns\" field");
    } else if (!found->is_null() &&
               reader.integer(*found, "connections.all_held_after_ns", figures.allHeldAfterNs) &&
               figures.allHeldAfterNs < 0) {
        reader.fail("\"connections.all_held_after_ns\" is neither null nor a time");
    }
}

}  // namespace

void readRunShape(FieldReader& reader, const json& settings, RunResult& result) {
    reader.where = "settings.";
    if (reader.field(settings, "connect_rate", result.connectRate) && result.connectRate < 0) {
        reader.fail("\"settings.connect_rate\" is below 0");
    }
    if (reader.field(settings, "warmup_s", result.warmupSec) &&
        (result.warmupSec < 0 ||
         (result.warmupSec > 0 && result.warmupSec >= result.durationSec))) {
        reader.fail("\"settings.warmup_s\" is not below the run time");
    }
    reader.where = "";
}

void readConnections(FieldReader& reader, const json& document, RunResult& result) {
    result.hasConnections = true;
    const json* connections =
        reader.member(document, "connections", json::value_t::object, "an object");
    if (connections == nullptr) return;
    ConnectionFigures& figures = result.connections;
    reader.where = "connections.";
    reader.field(*connections, "opened", figures.opened);
    reader.field(*connections, "reopened", figures.reopened);
    readCloses(reader, *connections, figures);
    reader.field(*connections, "most_held", figures.mostHeld);
    readAllHeld(reader, *connections, figures);
    readFineCountsAt(reader, *connections, "connect_counts_us", figures.connectCounts);
    readFineCountsAt(reader, *connections, "handshake_counts_us", figures.handshakeCounts);
    reader.where = "";
    if (reader.problem.empty() && figures.reopened > figures.opened) {
        reader.fail("\"connections.reopened\" is more than \"connections.opened\"");
    }
}

ordered connectionsJson(const ConnectionFigures& figures) {
    ordered closes = ordered::object();
    for (std::size_t kind = 0; kind < kServerCloseCount; ++kind) {
        closes[kServerCloseKeys[kind]] = figures.closes[kind];
    }
    ordered connections = ordered::object();
    connections["opened"] = figures.opened;
    connections["reopened"] = figures.reopened;
    connections["closed_by_server"] = closes;
    connections["most_held"] = figures.mostHeld;
    connections["all_held_after_ns"] =
        figures.allHeldAfterNs < 0 ? ordered(nullptr) : ordered(figures.allHeldAfterNs);
    connections["connect_counts_us"] = finePairs(figures.connectCounts);
    connections["handshake_counts_us"] = finePairs(figures.handshakeCounts);
    return connections;
}
