// Reads the header section of an HTTP/1.1 response: where it ends in the
// received bytes, and what its status line and fields say about the framing
// of the body and the connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

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

// Offset in data just past the LF that ends the first empty line, or
// std::string_view::npos. The bytes buffered before data are looked back
// into, so an empty line split across feeds is found too.
std::size_t findHeaderEnd(std::string_view before, const char* data, std::size_t sizeBytes);

// Reads a whole header section, its empty line included. False when it is no
// HTTP/1.x response or a field that frames the body cannot be read safely.
bool parseHeader(std::string_view header, HeaderFacts& facts);
