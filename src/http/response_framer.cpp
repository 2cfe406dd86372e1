#include "http/response_framer.h"

#include <cstring>
#include <limits>
#include <string_view>

#include "http/response_header.h"

namespace {

constexpr std::size_t kNotFound = std::string_view::npos;
constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
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
    // The answer to HEAD describes the body that GET would bring, but carries none.
    if (framer.headRequest || facts.statusCode == 204 || facts.statusCode == 304) {
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

void beginResponse(ResponseFramer& framer, bool headRequest) {
    framer.phase = FramePhase::Header;
    framer.headRequest = headRequest;
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
