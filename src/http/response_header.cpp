#include "http/response_header.h"

#include <cstring>
#include <limits>

namespace {

constexpr std::size_t kNotFound = std::string_view::npos;
constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

char lowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The second text must be lower case; field names and tokens are ASCII.
bool equalsIgnoreCase(std::string_view text, std::string_view lower) {
    if (text.size() != lower.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (lowerAscii(text[i]) != lower[i]) return false;
    }
    return true;
}

std::string_view trimBlanks(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

// Calls visit with each trimmed element of a comma-separated list, empty ones
// included, and stops at the first that it rejects.
template <typename Visit>
bool forEachListElement(std::string_view list, Visit visit) {
    for (;;) {
        const std::size_t comma = list.find(',');
        if (!visit(trimBlanks(list.substr(0, comma)))) return false;
        if (comma == kNotFound) return true;
        list.remove_prefix(comma + 1);
    }
}

// Digits only: a sign, a space inside or a value past 64 bits is no length.
bool parseDecimal(std::string_view text, std::uint64_t& value) {
    if (text.empty()) return false;
    std::uint64_t result = 0;
    for (const char c : text) {
        if (!isDigit(c)) return false;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (result > (kMaxU64 - digit) / 10) return false;
        result = result * 10 + digit;
    }
    value = result;
    return true;
}

// Takes the next line off text, without its LF and one CR before it.
std::string_view takeLine(std::string_view& text) {
    const std::size_t lineFeed = text.find('\n');
    std::string_view line = text.substr(0, lineFeed);
    text.remove_prefix(lineFeed == kNotFound ? text.size() : lineFeed + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

// "HTTP/1.y" SP three digits, then SP and a reason or nothing. Other major
// versions cannot be read with HTTP/1.1 framing.
bool parseStatusLine(std::string_view line, HeaderFacts& facts) {
    if (line.size() < 12 || line.substr(0, 5) != "HTTP/") return false;
    if (!isDigit(line[5]) || line[6] != '.' || !isDigit(line[7]) || line[8] != ' ') return false;
    if (!isDigit(line[9]) || !isDigit(line[10]) || !isDigit(line[11])) return false;
    if (line.size() > 12 && line[12] != ' ') return false;
    if (line[5] != '1') return false;
    facts.minorVersion = line[7] - '0';
    facts.statusCode = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
    return facts.statusCode >= 100 && facts.statusCode <= 599;
}

// Repeats and comma lists are accepted only when every value is the same.
bool applyContentLength(std::string_view value, HeaderFacts& facts) {
    return forEachListElement(value, [&facts](std::string_view element) {
        std::uint64_t lengthBytes = 0;
        if (!parseDecimal(element, lengthBytes)) return false;
        if (facts.hasContentLength && lengthBytes != facts.contentLengthBytes) return false;
        facts.hasContentLength = true;
        facts.contentLengthBytes = lengthBytes;
        return true;
    });
}

// Codings of repeated fields add up to one list; only the last one frames.
bool applyTransferEncoding(std::string_view value, HeaderFacts& facts) {
    bool namesCoding = false;
    forEachListElement(value, [&](std::string_view element) {
        if (element.empty()) return true;
        namesCoding = true;
        facts.lastCodingChunked = equalsIgnoreCase(element, "chunked");
        return true;
    });
    facts.hasTransferEncoding = true;
    return namesCoding;
}

void applyConnection(std::string_view value, HeaderFacts& facts) {
    forEachListElement(value, [&facts](std::string_view element) {
        if (equalsIgnoreCase(element, "close")) facts.connectionClose = true;
        if (equalsIgnoreCase(element, "keep-alive")) facts.connectionKeepAlive = true;
        return true;
    });
}

bool applyFieldLine(std::string_view line, HeaderFacts& facts) {
    if (isBlank(line.front())) {
        // An obsolete folded continuation. Dropping it is harmless on other
        // fields, but on one read here it would change how the body is framed.
        return !facts.lastFieldFrames;
    }
    const std::size_t colon = line.find(':');
    if (colon == kNotFound || colon == 0) return false;
    const std::string_view name = line.substr(0, colon);
    // Blanks before the colon would let another reader see a different name.
    if (name.find_first_of(" \t") != kNotFound) return false;
    const std::string_view value = trimBlanks(line.substr(colon + 1));
    facts.lastFieldFrames = true;
    if (equalsIgnoreCase(name, "content-length")) return applyContentLength(value, facts);
    if (equalsIgnoreCase(name, "transfer-encoding")) return applyTransferEncoding(value, facts);
    if (equalsIgnoreCase(name, "connection")) {
        applyConnection(value, facts);
        return true;
    }
    facts.lastFieldFrames = false;
    return true;
}

}  // namespace

std::size_t findHeaderEnd(std::string_view before, const char* data, std::size_t sizeBytes) {
    const auto byteAt = [&](std::size_t position) {
        return position < before.size() ? before[position] : data[position - before.size()];
    };
    std::size_t fromBytes = 0;
    while (fromBytes < sizeBytes) {
        const void* found = std::memchr(data + fromBytes, '\n', sizeBytes - fromBytes);
        if (found == nullptr) return kNotFound;
        const auto offset = static_cast<std::size_t>(static_cast<const char*>(found) - data);
        const std::size_t position = before.size() + offset;
        // The line is empty when it holds nothing or only a CR.
        if (position == 0 || byteAt(position - 1) == '\n') return offset + 1;
        if (byteAt(position - 1) == '\r' && (position == 1 || byteAt(position - 2) == '\n')) {
            return offset + 1;
        }
        fromBytes = offset + 1;
    }
    return kNotFound;
}

// The header ends with its empty line, which ends the loop.
bool parseHeader(std::string_view header, HeaderFacts& facts) {
    if (!parseStatusLine(takeLine(header), facts)) return false;
    for (std::string_view line = takeLine(header); !line.empty(); line = takeLine(header)) {
        if (!applyFieldLine(line, facts)) return false;
    }
    return true;
}
