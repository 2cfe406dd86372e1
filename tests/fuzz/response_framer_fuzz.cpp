// Two kinds of input. Raw bytes are fed as a response three ways (whole, cut
// in two, one byte at a time) and the answers must agree: framing must not
// depend on how the bytes happened to arrive. An input starting with kBuilt
// instead describes a well-formed response (status, framing, body, chunks,
// fields) that is built here and followed by the input's leftover bytes: its
// exact length is known, so the framer must complete on its last byte, never
// earlier, and leave every byte after it alone. Either kind is read now and
// then as the answer to a HEAD request, which ends with its header.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "http/response_framer.h"

namespace {

constexpr std::uint8_t kBuilt = 0xB7;

struct FeedOutcome {
    FrameStatus status;         // status of the last feed made
    std::size_t consumedBytes;  // bytes used from the start of the input
};

void require(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "response framer property broken: %s\n", what);
    std::abort();
}

// Feeds pieces of at most pieceBytes until an answer other than NeedMore;
// checks that NeedMore always uses the whole piece and that Complete comes
// with a byte of the piece, never after the piece was already used up.
FeedOutcome feedInPieces(ResponseFramer& framer, std::string_view input,
                         std::size_t firstPieceBytes, std::size_t pieceBytes,
                         bool headRequest = false) {
    beginResponse(framer, headRequest);
    std::size_t startBytes = 0;
    std::size_t nextBytes = firstPieceBytes;
    for (;;) {
        const std::size_t piece = std::min(nextBytes, input.size() - startBytes);
        const FrameResult result = feedResponse(framer, input.data() + startBytes, piece);
        require(result.consumedBytes <= piece, "consumed more than fed");
        if (result.status == FrameStatus::Complete) {
            require(result.consumedBytes > 0 || piece == 0, "complete without a byte");
        }
        if (result.status != FrameStatus::NeedMore) {
            return {result.status, startBytes + result.consumedBytes};
        }
        require(result.consumedBytes == piece, "need more left bytes unused");
        startBytes += piece;
        if (startBytes == input.size()) return {FrameStatus::NeedMore, input.size()};
        nextBytes = pieceBytes;
    }
}

// The three feeding patterns must agree on everything the exchange reads.
// Returns the outcome of the whole feed.
FeedOutcome checkSplitIndependence(std::string_view input, std::size_t cutBytes,
                                   bool headRequest = false) {
    // One framer is reused for every input, as a client reuses it, so that
    // any state left over from an earlier input shows up as a disagreement.
    static ResponseFramer reused;
    ResponseFramer fresh;
    const FeedOutcome whole = feedInPieces(fresh, input, input.size(), input.size(), headRequest);
    const FeedOutcome oneByte = feedInPieces(reused, input, 1, 1, headRequest);
    require(whole.status == oneByte.status, "whole and byte-wise status differ");
    if (whole.status == FrameStatus::Complete) {
        require(whole.consumedBytes == oneByte.consumedBytes, "consumed totals differ");
        require(responseKeepsConnection(fresh) == responseKeepsConnection(reused),
                "keep decisions differ");
        require(fresh.statusCode == reused.statusCode, "status codes differ");
    }
    if (whole.status == FrameStatus::NeedMore) {
        require(endOfStream(fresh) == endOfStream(reused), "end of stream differs");
    }
    // A cut at a point the input chooses, then pieces of the exchange's receive size.
    ResponseFramer split;
    const FeedOutcome twoPieces = feedInPieces(split, input, cutBytes, 4096, headRequest);
    require(twoPieces.status == whole.status, "split status differs");
    if (whole.status == FrameStatus::Complete) {
        require(twoPieces.consumedBytes == whole.consumedBytes, "split consumed differs");
        // Everything before the last byte, fed at once, is still unfinished.
        ResponseFramer shorter;
        const FeedOutcome cutShort = feedInPieces(shorter, input.substr(0, whole.consumedBytes - 1),
                                                  SIZE_MAX, SIZE_MAX, headRequest);
        require(cutShort.status == FrameStatus::NeedMore, "complete before the last byte");
    }
    return whole;
}

// A field value of visible ASCII taken from the input; never empty.
std::string visibleText(FuzzedDataProvider& input, std::size_t maxBytes) {
    std::string text = input.ConsumeRandomLengthString(maxBytes);
    for (char& c : text) c = static_cast<char>('!' + static_cast<unsigned char>(c) % 94);
    return text.empty() ? "v" : text;
}

std::string hexText(std::uint64_t value, bool upper) {
    char digits[24];
    std::snprintf(digits, sizeof digits, upper ? "%llX" : "%llx",
                  static_cast<unsigned long long>(value));
    return digits;
}

// Fields that do not frame the body, with the line ends the input picks.
void addNoiseFields(FuzzedDataProvider& input, std::string& head, const char* lineEnd) {
    const int count = input.ConsumeIntegralInRange(0, 3);
    for (int i = 0; i < count; ++i) {
        head += "X-" + std::to_string(i) + ":" + std::string(input.ConsumeBool() ? " " : "") +
                visibleText(input, 40) + lineEnd;
    }
}

// A chunked body: chunks sized by the input, extensions and trailer fields.
std::string chunkedBody(FuzzedDataProvider& input, const char* lineEnd) {
    std::string body;
    const int chunks = input.ConsumeIntegralInRange(0, 4);
    for (int i = 0; i < chunks; ++i) {
        const std::string data = input.ConsumeRandomLengthString(300);
        if (data.empty()) continue;  // a zero size would end the body here
        body += hexText(data.size(), input.ConsumeBool());
        if (input.ConsumeBool()) body += ";ext=" + visibleText(input, 10);
        body += lineEnd + data + lineEnd;
    }
    body += std::string("0") + lineEnd;
    if (input.ConsumeBool()) body += "X-Trailer: " + visibleText(input, 20) + lineEnd;
    return body + lineEnd;
}

// A whole response that the framer must accept, and whether it keeps the
// connection. The answer to HEAD announces its body but carries none.
std::string buildResponse(FuzzedDataProvider& input, bool& keeps, bool headRequest) {
    const char* lineEnd = input.ConsumeBool() ? "\r\n" : "\n";
    std::string response;
    if (input.ConsumeBool())
        response += std::string("HTTP/1.1 103 Early Hints") + lineEnd + lineEnd;
    const bool closes = input.ConsumeBool();
    const int kind = input.ConsumeIntegralInRange(0, 2);  // length, chunked, no body
    int status =
        kind == 2 ? (input.ConsumeBool() ? 204 : 304) : input.ConsumeIntegralInRange(200, 599);
    if (kind != 2 && (status == 204 || status == 304)) status = 200;  // these never have a body
    std::string head = "HTTP/1.1 " + std::to_string(status) + " R" + lineEnd;
    addNoiseFields(input, head, lineEnd);
    if (closes) head += std::string("Connection: close") + lineEnd;
    std::string body;
    if (kind == 0) {
        body = input.ConsumeRandomLengthString(2000);
        head += "Content-Length: " + std::to_string(body.size()) + lineEnd;
    } else if (kind == 1) {
        head += std::string("Transfer-Encoding: chunked") + lineEnd;
        body = chunkedBody(input, lineEnd);
    }
    keeps = !closes;
    return response + head + lineEnd + (headRequest ? "" : body);
}

void checkBuiltResponse(const std::uint8_t* bytes, std::size_t sizeBytes) {
    FuzzedDataProvider input(bytes + 1, sizeBytes - 1);
    bool keeps = false;
    const std::size_t cutBytes = input.ConsumeIntegral<std::uint16_t>();
    const bool headRequest = input.ConsumeBool();
    const std::string response = buildResponse(input, keeps, headRequest);
    const std::string wire = response + input.ConsumeRemainingBytesAsString();
    const FeedOutcome outcome = checkSplitIndependence(wire, cutBytes, headRequest);
    require(outcome.status == FrameStatus::Complete, "well-formed response not complete");
    require(outcome.consumedBytes == response.size(), "did not consume exactly the response");
    ResponseFramer framer;
    feedInPieces(framer, wire, wire.size(), wire.size(), headRequest);
    require(responseKeepsConnection(framer) == keeps, "wrong keep-alive decision");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t sizeBytes) {
    if (sizeBytes > 0 && bytes[0] == kBuilt) {
        checkBuiltResponse(bytes, sizeBytes);
        return 0;
    }
    const std::size_t cutBytes = sizeBytes == 0 ? 0 : bytes[0] * 131u % sizeBytes;
    const bool headRequest = sizeBytes > 0 && bytes[0] % 2 == 1;
    checkSplitIndependence(std::string_view(reinterpret_cast<const char*>(bytes), sizeBytes),
                           cutBytes, headRequest);
    return 0;
}
