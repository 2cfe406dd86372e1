#include "app/run_options.h"

#include <string>
#include <string_view>

#include "config/messages.h"
#include "platform/os/clock.h"
#include "http/header_line.h"
#include "metrics/metrics_option.h"

namespace {

constexpr std::int64_t kLongestStartDelayNs = 24LL * 3600 * kNsPerSec;

bool fail(std::string_view option, std::string_view what) {
    writeErrorLine(std::string(kOptionPrefix) + std::string(option) + std::string(what));
    return false;
}

bool failValue(std::string_view option, std::string_view value, std::string_view rule) {
    return fail(option, std::string(kOptionBadValue) + quoteForMessage(value) + std::string(rule));
}

// Digits only, no sign or space, at least one and at most nine.
bool readSmallCount(std::string_view text, std::int32_t& value) {
    if (text.empty() || text.size() > 9) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

bool readAgent(std::string_view text, TestConfig& config) {
    const std::size_t slash = text.find('/');
    if (slash == std::string_view::npos) return false;
    std::int32_t index = 0;
    std::int32_t count = 0;
    if (!readSmallCount(text.substr(0, slash), index) ||
        !readSmallCount(text.substr(slash + 1), count) || index < 1 || index > count) {
        return false;
    }
    config.agentIndex = index;
    config.agentCount = count;
    return true;
}

// Unix seconds with an optional fraction ("1765123456.25"), read exactly to
// the nanosecond; the instant must lie ahead, by at most a day. The whole
// seconds are checked against that window before they become nanoseconds, so
// no value of the twelve digits can overflow and wrap into the window.
bool readStartAt(std::string_view text, TestConfig& config) {
    const std::size_t dot = text.find('.');
    const std::string_view whole = text.substr(0, dot);
    const std::string_view fraction = dot == std::string_view::npos ? "" : text.substr(dot + 1);
    if (whole.empty() || whole.size() > 12 || fraction.size() > 9) return false;
    if (dot != std::string_view::npos && fraction.empty()) return false;
    std::int64_t wholeSec = 0;
    for (char c : whole) {
        if (c < '0' || c > '9') return false;
        wholeSec = wholeSec * 10 + (c - '0');
    }
    const std::int64_t nowNs = wallClockNowNs();
    if (wholeSec > (nowNs + kLongestStartDelayNs) / kNsPerSec) return false;
    std::int64_t instantNs = wholeSec * kNsPerSec;
    std::int64_t scale = kNsPerSec / 10;
    for (char c : fraction) {
        if (c < '0' || c > '9') return false;
        instantNs += (c - '0') * scale;
        scale /= 10;
    }
    if (instantNs <= nowNs || instantNs - nowNs > kLongestStartDelayNs) return false;
    config.startAtUnixNs = instantNs;
    return true;
}

bool readSources(std::string_view text, TestConfig& config) {
    std::vector<std::string> addresses;
    std::vector<SocketAddress> binds;
    for (std::size_t from = 0;;) {
        const std::size_t comma = text.find(',', from);
        const std::string address(text.substr(from, comma - from));
        SocketAddress parsed;
        if (!readNumericAddress(address, parsed)) return false;
        addresses.push_back(address);
        binds.push_back(parsed);
        if (comma == std::string_view::npos) break;
        from = comma + 1;
    }
    config.sourceAddresses = std::move(addresses);
    config.sourceBinds = std::move(binds);
    return true;
}

// A second Host line would give the server two targets; it must refuse them.
bool readHeader(std::string_view text, TestConfig& config) {
    if (checkHeaderLine(text) != HeaderLineProblem::None) return false;
    if (headerLineNames(text, "host")) {
        for (const std::string& line : config.headerLines) {
            if (headerLineNames(line, "host")) return false;
        }
    }
    config.headerLines.emplace_back(text);
    return true;
}

// What is wrong with a --header line that readHeader refused.
std::string_view headerRule(std::string_view text) {
    switch (checkHeaderLine(text)) {
        case HeaderLineProblem::NotNamed:
            return kHeaderRule;
        case HeaderLineProblem::ControlByte:
            return kHeaderControlRule;
        case HeaderLineProblem::Owned:
            return kHeaderOwnedRule;
        case HeaderLineProblem::None:
            break;
    }
    return kHeaderHostAgainRule;
}

// A name every agent of a run is given, so their result files can be told
// apart from another run's: letters, digits and - _ . :, which need no
// quoting in a shell, a file name or JSON.
bool readRunId(std::string_view text, TestConfig& config) {
    if (text.empty() || text.size() > 64) return false;
    for (char c : text) {
        const bool letterOrDigit =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!letterOrDigit && std::string_view("-_.:").find(c) == std::string_view::npos) {
            return false;
        }
    }
    config.runId = std::string(text);
    return true;
}

// --ipv4 and --ipv6 each leave the lookup one family; both would leave none.
bool readFamily(TestConfig& config, int family) {
    if (config.lookupFamily != AF_UNSPEC && config.lookupFamily != family) return false;
    config.lookupFamily = family;
    return true;
}

// A system without Unix sockets takes any path here, to refuse the option
// itself once the options are read.
bool readUnixSocket(std::string_view text, TestConfig& config) {
    SocketAddress address;
    config.unixSocketPath = std::string(text);
    return !unixSocketsSupported() || unixSocketAddress(text, address);
}

// A Unix socket has no addresses to choose a family of or to leave from.
bool unixSocketAlone(const TestConfig& config) {
    if (config.unixSocketPath.empty()) return true;
    if (!unixSocketsSupported()) return fail("--unix-socket", kUnixSocketUnsupported);
    const char* other = !config.sourceAddresses.empty()   ? "--source"
                        : config.lookupFamily == AF_INET  ? "--ipv4"
                        : config.lookupFamily == AF_INET6 ? "--ipv6"
                                                          : nullptr;
    if (other == nullptr) return true;
    return fail("--unix-socket",
                std::string(kOptionNotWith) + other + std::string(kOptionNotWithEnd));
}

bool readConnectRate(std::string_view text, TestConfig& config) {
    return readSmallCount(text, config.connectRate) && config.connectRate > 0;
}

// The warm-up leaves some of the run to measure: -t is the whole run.
bool readWarmup(std::string_view text, TestConfig& config) {
    return readSmallCount(text, config.warmupSec) &&
           (config.warmupSec == 0 || config.warmupSec < config.durationSec);
}

// A plan paces the run instead of -q, and lasts exactly the run time.
bool readRatePlan(std::string_view text, TestConfig& config) {
    std::string problem;
    return parseRatePlan(text, config.ratePlan, problem) && config.targetQps == 0 &&
           planLengthSec(config.ratePlan) == config.durationSec;
}

// What is wrong with a --rate-plan that readRatePlan refused: the plan is
// read again for the step at fault.
std::string ratePlanRule(std::string_view text, const TestConfig& config) {
    RatePlan plan;
    std::string problem;
    if (!parseRatePlan(text, plan, problem)) {
        return std::string(kPlanRuleOpen) + problem + std::string(kPlanRuleClose);
    }
    if (config.targetQps != 0) {
        return std::string(kPlanRuleOpen) + std::string(kPlanWithTargetQps) +
               std::string(kPlanRuleEnd);
    }
    return std::string(kPlanRuleOpen) + std::string(kPlanLengthPrefix) +
           std::to_string(planLengthSec(plan)) + std::string(kPlanLengthMiddle) +
           std::to_string(config.durationSec) + std::string(kPlanLengthEnd) +
           std::string(kPlanRuleEnd);
}

// A file's name, read later; only an empty one is refused here.
template <std::string TestConfig::*field>
bool readPath(std::string_view text, TestConfig& config) {
    config.*field = std::string(text);
    return !text.empty();
}

struct OptionRule {
    std::string_view name;                              // the option as typed, "--save"
    bool (*read)(std::string_view value, TestConfig&);  // false when the value is bad
    std::string_view rule;                              // what a good value looks like
    bool takesValue = true;                             // false: a switch, read with no value
};

const OptionRule kOptions[] = {
    {"--save",
     [](std::string_view value, TestConfig& config) {
         config.savePath = std::string(value);
         return !value.empty();
     },
     kSaveRule},
    {"--agent", readAgent, kAgentRule},
    {"--start-at", readStartAt, kStartAtRule},
    {"--source", readSources, kSourceRule},
    {"--insecure",
     [](std::string_view, TestConfig& config) {
         config.verifyPeer = false;
         return true;
     },
     "", false},
    // The file itself is read when the run's TLS is set up.
    {"--ca",
     [](std::string_view value, TestConfig& config) {
         config.caFile = std::string(value);
         return !value.empty();
     },
     kCaFileUnreadable},
    // The files are read, and checked together, when the run's TLS is set up.
    {"--cert", readPath<&TestConfig::certFile>, kCaFileUnreadable},
    {"--key", readPath<&TestConfig::keyFile>, kKeyFileUnreadable},
    {"--key-password-file", readPath<&TestConfig::keyPasswordFile>, kKeyPasswordUnreadable},
    {"--latency",
     [](std::string_view, TestConfig& config) { return config.showLatencyBlock = true; }, "",
     false},
    {"--method",
     [](std::string_view value, TestConfig& config) {
         config.method = std::string(value);
         return isToken(value);
     },
     kMethodRule},
    {"--header", readHeader, kHeaderRule},
    {"--body-file",
     [](std::string_view value, TestConfig& config) {
         config.bodyPath = std::string(value);
         return !value.empty();
     },
     kBodyFileRule},
    {"--run-id", readRunId, kRunIdRule},
    {"--rate-plan", readRatePlan, ""},
    {"--connections",
     [](std::string_view, TestConfig& config) { return config.showConnectionBlock = true; }, "",
     false},
    {"--connect-rate", readConnectRate, kConnectRateRule},
    {"--warmup", readWarmup, kWarmupRule},
    {"--metrics", readMetricsAddress, kMetricsRule},
    {"--metrics-linger", readMetricsLinger, kMetricsLingerRule},
    {"--ipv4", [](std::string_view, TestConfig& config) { return readFamily(config, AF_INET); },
     kNotWithIpv6, false},
    {"--ipv6", [](std::string_view, TestConfig& config) { return readFamily(config, AF_INET6); },
     kNotWithIpv4, false},
    {"--unix-socket", readUnixSocket, kUnixSocketRule},
};

}  // namespace

bool readRunOptions(int argc, const char* const argv[], int firstIndex, TestConfig& config) {
    bool seen[std::size(kOptions)] = {};
    for (int at = firstIndex; at < argc; ++at) {
        const std::string_view argument = argv[at];
        std::size_t which = 0;
        while (which < std::size(kOptions) && kOptions[which].name != argument) ++which;
        if (which == std::size(kOptions)) {
            writeErrorLine(std::string(kUnknownOptionPrefix) + quoteForMessage(argument));
            return false;
        }
        const OptionRule& option = kOptions[which];
        // --header alone may be given many times: one line each.
        const bool header = option.name == "--header";
        if (seen[which] && !header) return fail(option.name, kOptionRepeated);
        seen[which] = true;
        if (!option.takesValue) {
            if (!option.read({}, config)) return fail(option.name, option.rule);
            continue;
        }
        if (at + 1 >= argc) return fail(option.name, kOptionMissingValue);
        const std::string_view value = argv[++at];
        if (!option.read(value, config)) {
            if (option.name == "--rate-plan") {
                return failValue(option.name, value, ratePlanRule(value, config));
            }
            return failValue(option.name, value, header ? headerRule(value) : option.rule);
        }
    }
    return unixSocketAlone(config);
}
