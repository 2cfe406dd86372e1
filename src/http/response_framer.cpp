#include "http/response_framer.h"

#include <cstring>
#include <limits>
#include <string_view>

namespace {

constexpr std::size_t kNotFound = std::string_view::npos;
constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

// What a header section says about the body's framing and the connection.
struct HeaderFacts {
    int statusCode = 0;                    // the three-digit status code
    int minorVersion = 0;                  // y of HTTP/1.y
    bool hasContentLength = false;         // a Content-Length field was present
    std::uint64_t contentLengthBytes = 0;  // body length in bytes that it gives
    bool hasTransferEncoding = false;      // a Transfer-Encoding field was present
    bool lastCodingChunked = false;        // the last transfer coding listed is chunked
    bool connectionClose = false;          // Connection lists "close"
    bool connectionKeepAlive = false;      // Connection lists "keep-alive"
    bool lastFieldFrames = false;          // the previous field line was one read above
};

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
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

// Offset in data just past the LF that ends the first empty line, or
// kNotFound. The bytes buffered before data are looked back into, so an empty
// line split across feeds is found too.
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

// The header ends with its empty line, which ends the loop.
bool parseHeader(std::string_view header, HeaderFacts& facts) {
    if (!parseStatusLine(takeLine(header), facts)) return false;
    for (std::string_view line = takeLine(header); !line.empty(); line = takeLine(header)) {
        if (!applyFieldLine(line, facts)) return false;
    }
    return true;
}

std::size_t fail(ResponseFramer& framer, std::size_t usedBytes) {
    framer.phase = FramePhase::Failed;
    return usedBytes;
}

void startChunkSizeLine(ResponseFramer& framer) {
    framer.phase = FramePhase::ChunkSizeDigits;
    framer.chunkSizeBytes = 0;
    framer.chunkLineBytes = 0;
}

void finishChunkSizeLine(ResponseFramer& framer) {
    if (framer.chunkSizeBytes != 0) {
        framer.phase = FramePhase::ChunkData;
        framer.remainingBytes = framer.chunkSizeBytes;
        return;
    }
    framer.phase = FramePhase::Trailer;
    framer.trailerBytes = 0;
    framer.trailerLineBytes = 0;
    framer.trailerLineEndsInCr = false;
}

// Chooses how the body of a final response ends (RFC 9112, section 6.3).
void startBody(ResponseFramer& framer, const HeaderFacts& facts) {
    framer.statusCode = facts.statusCode;
    framer.keepsConnection = facts.minorVersion >= 1
                                 ? !facts.connectionClose
                                 : facts.connectionKeepAlive && !facts.connectionClose;
    // Transfer-Encoding with Content-Length, or in an HTTP/1.0 response, is a
    // framing that peers may read differently; the connection is not trusted after it.
    if (facts.hasTransferEncoding && (facts.hasContentLength || facts.minorVersion == 0)) {
        framer.keepsConnection = false;
    }
    if (facts.statusCode == 204 || facts.statusCode == 304) {
        framer.phase = FramePhase::Complete;
    } else if (facts.hasTransferEncoding && facts.lastCodingChunked) {
        startChunkSizeLine(framer);
    } else if (facts.hasContentLength && !facts.hasTransferEncoding) {
        framer.remainingBytes = facts.contentLengthBytes;
        framer.phase = framer.remainingBytes == 0 ? FramePhase::Complete : FramePhase::LengthBody;
    } else {
        framer.phase = FramePhase::CloseBody;
        framer.keepsConnection = false;
    }
}

// An interim 1xx response has no body and leaves the framer waiting for the
// next header. 101 would switch the connection away from HTTP, which no
// request of ours asks for.
void applyHeader(ResponseFramer& framer, std::string_view header) {
    HeaderFacts facts;
    if (!parseHeader(header, facts) || facts.statusCode == 101) {
        framer.phase = FramePhase::Failed;
    } else if (facts.statusCode >= 200) {
        startBody(framer, facts);
    }
}

// A header found whole in one feed with nothing buffered is read in place.
std::size_t stepHeader(ResponseFramer& framer, const char* data, std::size_t sizeBytes) {
    const std::size_t bufferedBytes = framer.headerBuffer.size();
    const std::size_t endBytes = findHeaderEnd(framer.headerBuffer, data, sizeBytes);
    if (endBytes == kNotFound) {
        if (bufferedBytes + sizeBytes > kMaxHeaderBytes) return fail(framer, sizeBytes);
        framer.headerBuffer.append(data, sizeBytes);
        return sizeBytes;
    }
    if (bufferedBytes + endBytes > kMaxHeaderBytes) return fail(framer, endBytes);
    if (bufferedBytes == 0) {
        applyHeader(framer, std::string_view(data, endBytes));
    } else {
        framer.headerBuffer.append(data, endBytes);
        applyHeader(framer, framer.headerBuffer);
        framer.headerBuffer.clear();
    }
    return endBytes;
}

// Body bytes are skipped by count, never looked at.
std::size_t skipCountedBytes(ResponseFramer& framer, std::size_t sizeBytes) {
    const std::size_t skippedBytes = framer.remainingBytes < sizeBytes
                                         ? static_cast<std::size_t>(framer.remainingBytes)
                                         : sizeBytes;
    framer.remainingBytes -= skippedBytes;
    if (framer.remainingBytes == 0) {
        framer.phase = framer.phase == FramePhase::LengthBody ? FramePhase::Complete
                                                              : FramePhase::ChunkDataEnd;
    }
    return skippedBytes;
}

std::size_t stepChunkSizeDigits(ResponseFramer& framer, const char* data, std::size_t sizeBytes) {
    std::size_t usedBytes = 0;
    for (; usedBytes < sizeBytes; ++usedBytes) {
        const int digit = hexValue(data[usedBytes]);
        if (digit < 0) break;
        if (framer.chunkSizeBytes > (kMaxU64 >> 4)) return fail(framer, usedBytes);
        if (++framer.chunkLineBytes > kMaxChunkLineBytes) return fail(framer, usedBytes);
        framer.chunkSizeBytes = (framer.chunkSizeBytes << 4) | static_cast<std::uint64_t>(digit);
    }
    if (usedBytes == sizeBytes) return usedBytes;
    if (framer.chunkLineBytes == 0) return fail(framer, usedBytes);
    const char c = data[usedBytes];
    if (c == ';' || isBlank(c)) {
        // The extension step takes this byte, so it counts toward the line limit.
        framer.phase = FramePhase::ChunkExtension;
        return usedBytes;
    }
    if (c == '\r') {
        if (++framer.chunkLineBytes > kMaxChunkLineBytes) return fail(framer, usedBytes);
        framer.phase = FramePhase::ChunkSizeLineFeed;
        return usedBytes + 1;
    }
    if (c == '\n') {
        finishChunkSizeLine(framer);
        return usedBytes + 1;
    }
    return fail(framer, usedBytes);
}

// Chunk extensions carry nothing we use; the line is only bounded.
std::size_t stepChunkExtension(ResponseFramer& framer, const char* data, std::size_t sizeBytes) {
    const void* found = std::memchr(data, '\n', sizeBytes);
    const std::size_t lineBytes =
        found == nullptr ? sizeBytes
                         : static_cast<std::size_t>(static_cast<const char*>(found) - data);
    if (framer.chunkLineBytes + lineBytes > kMaxChunkLineBytes) return fail(framer, lineBytes);
    framer.chunkLineBytes += lineBytes;
    if (found == nullptr) return sizeBytes;
    finishChunkSizeLine(framer);
    return lineBytes + 1;
}

// The single byte that must come next in a chunked body's line structure.
std::size_t stepLineEnd(ResponseFramer& framer, char c) {
    if (framer.phase == FramePhase::ChunkDataEnd && c == '\r') {
        framer.phase = FramePhase::ChunkDataLineFeed;
        return 1;
    }
    if (c != '\n') return fail(framer, 0);
    if (framer.phase == FramePhase::ChunkSizeLineFeed) {
        finishChunkSizeLine(framer);
    } else {
        startChunkSizeLine(framer);
    }
    return 1;
}

// Trailer fields are not used; only the empty line that ends them matters.
std::size_t stepTrailer(ResponseFramer& framer, const char* data, std::size_t sizeBytes) {
    const void* found = std::memchr(data, '\n', sizeBytes);
    const std::size_t usedBytes =
        found == nullptr ? sizeBytes
                         : static_cast<std::size_t>(static_cast<const char*>(found) - data) + 1;
    framer.trailerBytes += usedBytes;
    if (framer.trailerBytes > kMaxHeaderBytes) return fail(framer, usedBytes);
    const std::size_t lineBytes = found == nullptr ? usedBytes : usedBytes - 1;
    framer.trailerLineBytes += lineBytes;
    if (lineBytes > 0) framer.trailerLineEndsInCr = data[lineBytes - 1] == '\r';
    if (found == nullptr) return usedBytes;
    const bool emptyLine = framer.trailerLineBytes == 0 ||
                           (framer.trailerLineBytes == 1 && framer.trailerLineEndsInCr);
    framer.phase = emptyLine ? FramePhase::Complete : FramePhase::Trailer;
    framer.trailerLineBytes = 0;
    framer.trailerLineEndsInCr = false;
    return usedBytes;
}

// Takes bytes for the current phase; each call uses at least one byte or
// ends the response, so the feed loop always advances.
std::size_t stepPhase(ResponseFramer& framer, const char* data, std::size_t sizeBytes) {
    switch (framer.phase) {
        case FramePhase::Header:
            return stepHeader(framer, data, sizeBytes);
        case FramePhase::LengthBody:
        case FramePhase::ChunkData:
            return skipCountedBytes(framer, sizeBytes);
        case FramePhase::ChunkSizeDigits:
            return stepChunkSizeDigits(framer, data, sizeBytes);
        case FramePhase::ChunkExtension:
            return stepChunkExtension(framer, data, sizeBytes);
        case FramePhase::ChunkSizeLineFeed:
        case FramePhase::ChunkDataEnd:
        case FramePhase::ChunkDataLineFeed:
            return stepLineEnd(framer, data[0]);
        case FramePhase::Trailer:
            return stepTrailer(framer, data, sizeBytes);
        case FramePhase::CloseBody:
            return sizeBytes;
        case FramePhase::Complete:
        case FramePhase::Failed:
            break;
    }
    return fail(framer, 0);
}

}  // namespace

void beginResponse(ResponseFramer& framer) {
    framer.phase = FramePhase::Header;
    framer.headerBuffer.clear();
    framer.remainingBytes = 0;
    framer.chunkSizeBytes = 0;
    framer.chunkLineBytes = 0;
    framer.trailerBytes = 0;
    framer.trailerLineBytes = 0;
    framer.trailerLineEndsInCr = false;
    framer.statusCode = 0;
    framer.keepsConnection = false;
}

FrameResult feedResponse(ResponseFramer& framer, const char* data, std::size_t sizeBytes) {
    if (framer.phase == FramePhase::Complete || framer.phase == FramePhase::Failed) {
        return {FrameStatus::Malformed, 0};
    }
    std::size_t usedBytes = 0;
    while (usedBytes < sizeBytes) {
        usedBytes += stepPhase(framer, data + usedBytes, sizeBytes - usedBytes);
        if (framer.phase == FramePhase::Complete) return {FrameStatus::Complete, usedBytes};
        if (framer.phase == FramePhase::Failed) return {FrameStatus::Malformed, usedBytes};
    }
    return {FrameStatus::NeedMore, sizeBytes};
}

FrameStatus endOfStream(ResponseFramer& framer) {
    if (framer.phase == FramePhase::CloseBody) {
        framer.phase = FramePhase::Complete;
        return FrameStatus::Complete;
    }
    framer.phase = FramePhase::Failed;
    return FrameStatus::Malformed;
}

bool responseKeepsConnection(const ResponseFramer& framer) {
    return framer.phase == FramePhase::Complete && framer.keepsConnection;
}
