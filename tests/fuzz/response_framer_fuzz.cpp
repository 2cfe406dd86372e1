// Feeds arbitrary bytes as a response three ways (whole, cut in two, one byte
// at a time) and stops the run when the answers disagree: framing must not
// depend on how the bytes happened to arrive.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "http/response_framer.h"

namespace {

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
// with the response's last byte, never earlier.
FeedOutcome feedInPieces(ResponseFramer& framer, const char* data, std::size_t sizeBytes,
                         std::size_t firstPieceBytes, std::size_t pieceBytes) {
    beginResponse(framer);
    std::size_t startBytes = 0;
    std::size_t nextBytes = firstPieceBytes;
    for (;;) {
        const std::size_t piece =
            nextBytes < sizeBytes - startBytes ? nextBytes : sizeBytes - startBytes;
        const FrameResult result = feedResponse(framer, data + startBytes, piece);
        require(result.consumedBytes <= piece, "consumed more than fed");
        if (result.status == FrameStatus::Complete) {
            require(result.consumedBytes > 0 || piece == 0, "complete without a byte");
        }
        if (result.status != FrameStatus::NeedMore) {
            return {result.status, startBytes + result.consumedBytes};
        }
        require(result.consumedBytes == piece, "need more left bytes unused");
        startBytes += piece;
        if (startBytes == sizeBytes) return {FrameStatus::NeedMore, sizeBytes};
        nextBytes = pieceBytes;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t sizeBytes) {
    const auto* data = reinterpret_cast<const char*>(bytes);
    // One framer is reused for every run, as a client reuses it, so that any
    // state left over from an earlier input shows up as a disagreement.
    static ResponseFramer reused;
    ResponseFramer fresh;
    const FeedOutcome whole = feedInPieces(fresh, data, sizeBytes, sizeBytes, sizeBytes);
    const FeedOutcome oneByte = feedInPieces(reused, data, sizeBytes, 1, 1);
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

    // A cut in two at a point the input chooses, then pieces of the
    // exchange's receive size.
    ResponseFramer split;
    const std::size_t cutBytes = sizeBytes == 0 ? 0 : bytes[0] * 131u % sizeBytes;
    const FeedOutcome twoPieces = feedInPieces(split, data, sizeBytes, cutBytes, 4096);
    require(twoPieces.status == whole.status, "split status differs");
    if (whole.status == FrameStatus::Complete) {
        require(twoPieces.consumedBytes == whole.consumedBytes, "split consumed differs");
    }
    return 0;
}
