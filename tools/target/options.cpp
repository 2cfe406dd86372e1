#include "options.h"

#include "stall_mode.h"

#include <charconv>
#include <climits>
#include <string_view>

namespace target {

namespace {

// One spelling of --mode on the command line.
struct ModeName {
    std::string_view name;  // the word given after --mode
    Mode mode;              // the behaviour it selects
};

constexpr ModeName kModeNames[] = {
    {"fast", Mode::Fast},
    {"delay", Mode::Delay},
    {"chunked", Mode::Chunked},
    {"close", Mode::Close},
    {"http10", Mode::Http10},
    {"early-hints", Mode::EarlyHints},
    {"until-close", Mode::UntilClose},
    {"never", Mode::Never},
    {"close-at-once", Mode::CloseAtOnce},
    {"no-content", Mode::NoContent},
    {"reset-in-header", Mode::ResetInHeader},
    {"reset-in-body", Mode::ResetInBody},
    {"close-after-header", Mode::CloseAfterHeader},
    {"huge-header", Mode::HugeHeader},
    {"garbage", Mode::Garbage},
    {"bad-chunk", Mode::BadChunk},
    {"trickle", Mode::Trickle},
    {"big-body", Mode::BigBody},
    {"split-header", Mode::SplitHeader},
};

}  // namespace

const char* const kUsage =
    "usage: velkor_target [--port N] [--mode MODE] [--delay-ms N] [--body-bytes N]\n"
    "                     [--stop-after-sec N] [--close-every N] [--fail-after-sec N]\n"
    "                     [--refuse-after-sec N] [--status N] [--count-connections]\n"
    "HTTP/1.1 test server on 127.0.0.1 that answers every GET as MODE says.\n"
    "  --port N              TCP port; 0 picks a free one (default 0)\n"
    "  --mode MODE           how each GET is answered (default fast)\n"
    "  --delay-ms N          wait before each answer in delay mode, ms (default 100)\n"
    "  --body-bytes N        body size, bytes (default 2; 1048576 in big-body mode)\n"
    "  --stop-after-sec N    exit by itself after N seconds, 1..86400 (default 60)\n"
    "  --close-every N       keep-alive modes: close the connection after every Nth\n"
    "                        answer on it, announced by Connection: close (0 = never)\n"
    "  --fail-after-sec N    from N seconds on, leave every new request unanswered\n"
    "  --refuse-after-sec N  at N seconds, close the listening socket\n"
    "  --status N            status code of the answers that are 200 by default,\n"
    "                        200..599 (default 200)\n"
    "  --count-connections   also print 'accepted N' (connections taken) at exit\n"
    "modes:\n"
    "  fast delay chunked close http10 early-hints until-close no-content\n"
    "  never close-at-once reset-in-header reset-in-body close-after-header\n"
    "  huge-header garbage bad-chunk trickle big-body split-header\n"
    "Prints 'listening on 127.0.0.1:PORT' when ready and 'served N' (complete\n"
    "answers sent) at exit; exits 0 on SIGTERM, SIGINT or the stop time.\n";

namespace {

// A flag that takes a whole decimal number within a range.
struct NumericFlag {
    std::string_view name;    // spelling on the command line
    int64_t Options::*field;  // where the value goes
    int64_t minValue;         // smallest accepted value
    int64_t maxValue;         // largest accepted value
};

constexpr int64_t kMaxBodyBytes = int64_t{256} << 20;
constexpr int64_t kMaxSeconds = 86'400;

constexpr NumericFlag kNumericFlags[] = {
    {"--port", &Options::port, 0, 65'535},
    {"--delay-ms", &Options::delayMs, 0, 3'600'000},
    {"--body-bytes", &Options::bodyBytes, 0, kMaxBodyBytes},
    {"--stop-after-sec", &Options::stopAfterSec, 1, kMaxSeconds},
    {"--close-every", &Options::closeEvery, 0, INT32_MAX},
    {"--fail-after-sec", &Options::failAfterSec, 0, kMaxSeconds},
    {"--refuse-after-sec", &Options::refuseAfterSec, 0, kMaxSeconds},
    {"--status", &Options::status, 200, 599},
};

// Reads a whole decimal number; any other byte, a sign or an empty text is refused.
std::optional<int64_t> parseNumber(std::string_view text) {
    int64_t value = 0;
    if (text.empty() || text.front() == '-' || text.front() == '+') return std::nullopt;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<Mode> findMode(std::string_view name) {
    for (const ModeName& entry : kModeNames) {
        if (entry.name == name) return entry.mode;
    }
    return std::nullopt;
}

// Stores one flag's value; on failure, error says what is wrong in the user's terms.
bool applyFlag(Options& options, std::string_view name, std::string_view value,
               std::string& error) {
    if (name == "--mode") {
        std::optional<Mode> mode = findMode(value);
        if (!mode) error = "unknown mode '" + std::string(value) + "'";
        if (mode) options.mode = *mode;
        return mode.has_value();
    }
    for (const NumericFlag& flag : kNumericFlags) {
        if (flag.name != name) continue;
        std::optional<int64_t> number = parseNumber(value);
        if (!number || *number < flag.minValue || *number > flag.maxValue) {
            error = std::string(name) + " needs a whole number from " +
                    std::to_string(flag.minValue) + " to " + std::to_string(flag.maxValue) +
                    ", not '" + std::string(value) + "'";
            return false;
        }
        options.*flag.field = *number;
        return true;
    }
    if (isStallOption(name)) return applyStallOption(name, value, error);
    error = "unknown option '" + std::string(name) + "'";
    return false;
}

}  // namespace

std::optional<Options> parseArgs(int argc, char** argv, std::string& error) {
    Options options;
    for (int index = 1; index < argc; ++index) {
        std::string_view arg = argv[index];
        if (arg == "--help" || arg == "-h") {
            options.showHelp = true;
            continue;
        }
        if (arg == "--count-connections") {
            options.countConnections = true;
            continue;
        }
        std::string_view name = arg.substr(0, arg.find('='));
        std::string_view value;
        if (name.size() < arg.size()) {
            value = arg.substr(name.size() + 1);
        } else if (arg.starts_with("--") && index + 1 < argc) {
            value = argv[++index];
        } else {
            error = arg.starts_with("--") ? "option '" + std::string(arg) + "' needs a value"
                                          : "unexpected argument '" + std::string(arg) + "'";
            return std::nullopt;
        }
        if (!applyFlag(options, name, value, error)) return std::nullopt;
    }
    if (options.bodyBytes < 0) options.bodyBytes = options.mode == Mode::BigBody ? 1 << 20 : 2;
    return options;
}

}  // namespace target
