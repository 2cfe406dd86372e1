#include "answer.h"

#include <charconv>
#include <cstdint>

namespace target {

namespace {

constexpr std::string_view kEarlyHints =
    "HTTP/1.1 103 Early Hints\r\nLink: </style.css>; rel=preload; as=style\r\n\r\n";

// Letters a to z over and over, so that a torn or shifted body does not look right.
std::string bodyPattern(int64_t bytes) {
    std::string body(static_cast<size_t>(bytes), 'a');
    for (size_t index = 0; index < body.size(); ++index) body[index] = char('a' + index % 26);
    return body;
}

std::string hexSize(size_t size) {
    char digits[24];
    auto result = std::to_chars(digits, digits + sizeof digits, size, 16);
    return std::string(digits, result.ptr);
}

// Splits the body into up to three chunks of unequal sizes (the first one carries
// an extension) and ends with a trailer field, so clients meet all of chunked framing.
std::string chunkFramed(std::string_view body) {
    const size_t half = body.size() / 2;
    const size_t quarter = body.size() / 4;
    const size_t sizes[] = {half, quarter, body.size() - half - quarter};
    std::string framed;
    size_t offset = 0;
    for (size_t size : sizes) {
        if (size == 0) continue;  // a zero size would end the body early
        framed += hexSize(size);
        if (offset == 0) framed += ";part=first";
        framed += "\r\n";
        framed += body.substr(offset, size);
        framed += "\r\n";
        offset += size;
    }
    framed += "0\r\nX-Body-Check: done\r\n\r\n";
    return framed;
}

// About 100 KiB of header fields, more than a client should agree to buffer.
std::string fillerFields() {
    std::string fields;
    for (int index = 0; fields.size() < 100 * 1024; ++index) {
        fields += "X-Filler-" + std::to_string(index) + ": " + std::string(100, 'f') + "\r\n";
    }
    return fields;
}

}  // namespace

std::string makeHead(std::string_view statusLine, std::string_view fields, bool closing) {
    std::string head(statusLine);
    head += "\r\n";
    head += fields;
    if (closing) head += "Connection: close\r\n";
    head += "\r\n";
    return head;
}

Answer buildAnswer(const Options& options) {
    const std::string body = bodyPattern(options.bodyBytes);
    const std::string fields =
        "Content-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    const std::string ok = "HTTP/1.1 " + std::to_string(options.status) +
                           (options.status == 200 ? " OK" : " Test Status");
    switch (options.mode) {
        case Mode::Chunked: {
            const std::string chunkedFields =
                "Content-Type: text/plain\r\n"
                "Transfer-Encoding: chunked\r\n"
                "Trailer: X-Body-Check\r\n";
            return {makeHead(ok, chunkedFields, false), makeHead(ok, chunkedFields, true),
                    chunkFramed(body)};
        }
        case Mode::Close:
            return {makeHead(ok, fields, true), makeHead(ok, fields, true), body};
        case Mode::Http10:  // no Connection field: HTTP/1.0 closes by default
            return {makeHead("HTTP/1.0 200 OK", fields, false),
                    makeHead("HTTP/1.0 200 OK", fields, false), body};
        case Mode::EarlyHints:
            return {std::string(kEarlyHints) + makeHead(ok, fields, false),
                    std::string(kEarlyHints) + makeHead(ok, fields, true), body};
        case Mode::UntilClose:  // no length: the close marks the end of the body
            return {makeHead(ok, "Content-Type: text/plain\r\n", true),
                    makeHead(ok, "Content-Type: text/plain\r\n", true), body};
        case Mode::NoContent:
            return {makeHead("HTTP/1.1 204 No Content", "", false),
                    makeHead("HTTP/1.1 204 No Content", "", true), ""};
        case Mode::HugeHeader:
            return {makeHead(ok, fillerFields() + fields, false),
                    makeHead(ok, fillerFields() + fields, true), body};
        default:
            return {makeHead(ok, fields, false), makeHead(ok, fields, true), body};
    }
}

bool modeAlwaysCloses(Mode mode) {
    return mode == Mode::Close || mode == Mode::Http10 || mode == Mode::UntilClose;
}

}  // namespace target
