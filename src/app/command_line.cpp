#include "app/command_line.h"

#include <string_view>

#include "app/integer_rule.h"
#include "config/messages.h"

namespace {

void writeUsage() {
    for (std::string_view line : kUsageLines) writeErrorLine(line);
}

// Flags have fixed positions and match only byte for byte.
bool hasValidShape(int argc, const char* const argv[]) {
    if (argc < 6) return false;
    if (std::string_view(argv[1]) != "-t" || std::string_view(argv[3]) != "-c") return false;
    // "-q" with its rate but no URL after it: the URL position lies beyond the
    // arguments given.
    return !(argc == 7 && std::string_view(argv[5]) == "-q");
}

bool readNumberArgument(std::string_view flag, const char* text, std::int32_t& value) {
    if (readInteger(text, value)) return true;
    writeErrorLine(std::string(kBadNumberPrefix) + std::string(flag) +
                   std::string(kBadNumberMiddle) + quoteForMessage(text) +
                   std::string(kBadNumberRule));
    return false;
}

}  // namespace

bool readCommandLine(int argc, const char* const argv[], TestConfig& config) {
    if (!hasValidShape(argc, argv)) {
        writeUsage();
        return false;
    }
    if (!readNumberArgument("-t", argv[2], config.durationSec)) return false;
    if (!readNumberArgument("-c", argv[4], config.concurrency)) return false;
    const int urlPosition = firstOptionIndex(argc, argv) - 1;
    if (urlPosition == 7 && !readNumberArgument("-q", argv[6], config.targetQps)) return false;
    config.url = argv[urlPosition];
    return true;
}

int firstOptionIndex(int argc, const char* const argv[]) {
    return argc >= 7 && std::string_view(argv[5]) == "-q" ? 8 : 6;
}
