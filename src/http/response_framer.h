// Finds where one HTTP/1.1 response ends in the bytes received on a connection,
// so that an exchange reads exactly its own response and none of the next one.
// No socket here: bytes go in, and the answer is need more, complete or malformed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Largest header section (status line, fields and the empty line after them)
// and largest trailer section of a chunked body that are accepted.
constexpr std::size_t kMaxHeaderBytes = 64 * 1024;
// Largest chunk-size line before its LF, chunk extensions included.
constexpr std::size_t kMaxChunkLineBytes = 4 * 1024;

enum class FrameStatus { NeedMore, Complete, Malformed };

struct FrameResult {
    FrameStatus status;         // where the response stands after this feed
    std::size_t consumedBytes;  // bytes of this feed that belong to the response
};

// Which part of the response the next received byte belongs to.
enum class FramePhase {
    Header,             // status line and fields, up to the first empty line
    LengthBody,         // body of a length given by Content-Length
    ChunkSizeDigits,    // hex digits of a chunk-size line
    ChunkExtension,     // rest of a chunk-size line after its digits, up to LF
    ChunkSizeLineFeed,  // the LF after the CR that ends a chunk-size line
    ChunkData,          // data of a chunk
    ChunkDataEnd,       // the CR or LF that must follow a chunk's data
    ChunkDataLineFeed,  // the LF after that CR
    Trailer,            // trailer fields after the last chunk, up to an empty line
    CloseBody,          // body that ends when the server closes the connection
    Complete,           // the response has ended
    Failed              // the response was malformed
};

// One client keeps one framer for all its exchanges, so the header buffer's
// capacity is allocated once and not per response.
struct ResponseFramer {
    FramePhase phase = FramePhase::Header;  // part of the response expected next
    std::string headerBuffer;               // header bytes held while a header spans feeds
    std::uint64_t remainingBytes = 0;       // bytes left of the length body or current chunk
    std::uint64_t chunkSizeBytes = 0;       // size of the chunk whose size line is being read
    std::size_t chunkLineBytes = 0;         // bytes of the current chunk-size line so far
    std::size_t trailerBytes = 0;           // bytes of the trailer section so far
    std::size_t trailerLineBytes = 0;       // bytes of the current trailer line before its LF
    bool trailerLineEndsInCr = false;       // the current trailer line's last byte so far is CR
    int statusCode = 0;                     // status code of the final response, 0 before it
    bool keepsConnection = false;           // the connection may carry the next request
    bool headRequest = false;               // the request was HEAD: no final response has a body
};

// Makes the framer ready for the next response; keeps the buffer's capacity.
// headRequest: the request was HEAD, so the response ends with its header
// whatever its Content-Length or Transfer-Encoding say (RFC 9112, 6.3).
void beginResponse(ResponseFramer& framer, bool headRequest = false);

// Takes the next received bytes. On Complete, consumedBytes tells how many of
// them belong to the response (the rest came after it); on NeedMore all were
// used. Feeding again after Complete or Malformed without beginResponse is a
// caller error and gives Malformed.
FrameResult feedResponse(ResponseFramer& framer, const char* data, std::size_t sizeBytes);

// The server closed the connection: Complete only when the body is the kind
// that the close ends; Malformed anywhere else, since the response was cut.
FrameStatus endOfStream(ResponseFramer& framer);

// After Complete: whether the same connection may carry the next request.
bool responseKeepsConnection(const ResponseFramer& framer);
