// Reads arbitrary bytes as a command-line number and compares the answer with
// the C library's strtoll, which implements the same rule in the C locale:
// white space, one sign, the longest run of digits, the rest ignored.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/integer_rule.h"

namespace {

void require(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "integer rule property broken: %s\n", what);
    std::abort();
}

// What strtoll makes of the text; an embedded zero byte ends it there, as any
// other non-digit would.
bool referenceRead(const std::string& text, std::int32_t& value) {
    const char* start = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long long read = std::strtoll(start, &end, 10);
    if (end == start || errno == ERANGE) return false;
    if (read < INT32_MIN || read > INT32_MAX) return false;
    value = static_cast<std::int32_t>(read);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t sizeBytes) {
    const std::string text(reinterpret_cast<const char*>(bytes), sizeBytes);
    constexpr std::int32_t kUntouched = 0x5A5A5A5A;
    std::int32_t value = kUntouched;
    std::int32_t expected = kUntouched;
    const bool accepted = readInteger(text, value);
    require(accepted == referenceRead(text, expected), "accepts differently from strtoll");
    require(value == expected, "value differs from strtoll, or a refusal wrote one");
    return 0;
}
