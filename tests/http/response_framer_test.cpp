#include "http/response_framer.h"

#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

using namespace std::string_literals;
using namespace std::string_view_literals;

namespace {

// Stands for the start of whatever the server sends next on the connection.
constexpr std::string_view kNextBytes = "HTTP/1.1 200 OK\r\n";

struct FeedOutcome {
    FrameStatus status;         // status of the last feed made
    std::size_t consumedBytes;  // bytes used from the start of the input
    bool allOfNeedMoreUsed;     // every NeedMore feed used its whole piece
};

// Feeds bytes cut at the given offsets, stopping at the first answer that is
// not NeedMore, as the exchange does.
FeedOutcome feedPieces(ResponseFramer& framer, std::string_view bytes,
                       const std::vector<std::size_t>& cuts, bool headRequest = false) {
    beginResponse(framer, headRequest);
    FeedOutcome outcome{FrameStatus::NeedMore, 0, true};
    std::size_t startBytes = 0;
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
        const std::size_t endBytes = i < cuts.size() ? cuts[i] : bytes.size();
        const std::size_t pieceBytes = endBytes - startBytes;
        const FrameResult result = feedResponse(framer, bytes.data() + startBytes, pieceBytes);
        outcome.status = result.status;
        outcome.consumedBytes = startBytes + result.consumedBytes;
        if (result.status != FrameStatus::NeedMore) break;
        outcome.allOfNeedMoreUsed &= result.consumedBytes == pieceBytes;
        startBytes = endBytes;
    }
    return outcome;
}

// The whole input, then every cut into two, then one byte at a time.
std::vector<std::vector<std::size_t>> everySplit(std::size_t sizeBytes) {
    std::vector<std::vector<std::size_t>> splits{{}};
    std::vector<std::size_t> oneByteCuts;
    for (std::size_t cut = 1; cut < sizeBytes; ++cut) {
        splits.push_back({cut});
        oneByteCuts.push_back(cut);
    }
    splits.push_back(oneByteCuts);
    return splits;
}

struct CompleteCase {
    const char* name;      // what the response shows
    std::string response;  // the whole response
    int statusCode;        // final status code expected
    bool keepsConnection;  // whether the connection may be reused after it
};

TEST(ResponseFramer, CompleteExactlyAtLastByteHoweverSplit) {
    const CompleteCase cases[] = {
        {"length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", 200, true},
        {"length zero", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", 200, true},
        {"length blanks, repeats, list",
         "HTTP/1.1 200 OK\r\nContent-Length: \t3 \r\ncontent-length: 3, 3\r\n\r\nabc", 200, true},
        {"no reason phrase", "HTTP/1.1 200\r\nContent-Length: 1\r\n\r\nx", 200, true},
        {"bare LF lines", "HTTP/1.1 200 OK\nContent-Length: 2\n\nhi", 200, true},
        {"zero bytes", "HTTP/1.1 200 O\0K\r\nX-Zero: a\0\0\r\nContent-Length: 3\r\n\r\n\0\0\0"s,
         200, true},
        {"204 ignores length", "HTTP/1.1 204 No Content\r\nContent-Length: 9\r\n\r\n", 204, true},
        {"304 ignores length", "HTTP/1.1 304 Not Modified\r\nContent-Length: 9\r\n\r\n", 304, true},
        {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
         200, true},
        {"chunked hex, extensions, trailer",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, CHUNKED\r\n\r\n"
         "00a;name=value;flag\r\n0123456789\r\nB \t;x=\"a;b\"\r\nhello world\r\n"
         "0;last\r\nExpires: never\r\nX-Sum: 1\r\n\r\n",
         200, true},
        {"chunked bare LF", "HTTP/1.1 200 OK\nTransfer-Encoding: chunked\n\n3\nabc\n0\nX-T: 1\n\n",
         200, true},
        {"chunked overrides length",
         "HTTP/1.1 200 OK\r\nContent-Length: 99\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
         200, false},
        {"103 then 200",
         "HTTP/1.1 103 Early Hints\r\nLink: </a.css>; rel=preload\r\n\r\n"
         "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok",
         200, true},
        {"two 100 then 204",
         "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 204 OK\r\n\r\n", 204,
         true},
        {"connection close",
         "HTTP/1.1 200 OK\r\nConnection: Keep-Alive, CLOSE\r\nContent-Length: 0\r\n\r\n", 200,
         false},
        {"1.0 closes by default", "HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nx", 200, false},
        {"1.0 keep-alive",
         "HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 1\r\n\r\nx", 200, true},
        {"folded other field", "HTTP/1.1 200 OK\r\nX-A: 1\r\n  more\r\nContent-Length: 0\r\n\r\n",
         200, true},
    };
    ResponseFramer framer;
    for (const CompleteCase& c : cases) {
        SCOPED_TRACE(c.name);
        // Whatever follows the response must be left unconsumed.
        const std::string bytes = c.response + std::string(kNextBytes);
        for (const auto& cuts : everySplit(bytes.size())) {
            const FeedOutcome outcome = feedPieces(framer, bytes, cuts);
            ASSERT_EQ(outcome.status, FrameStatus::Complete) << cuts.size() << " cuts";
            ASSERT_EQ(outcome.consumedBytes, c.response.size()) << cuts.size() << " cuts";
            ASSERT_TRUE(outcome.allOfNeedMoreUsed);
            ASSERT_EQ(framer.statusCode, c.statusCode);
            ASSERT_EQ(responseKeepsConnection(framer), c.keepsConnection);
        }
    }
}

// The answer to HEAD ends with its header, whatever framing it announces; the
// bytes after it are the next response's.
TEST(ResponseFramer, HeadAnswersEndWithTheirHeaderHoweverSplit) {
    const CompleteCase cases[] = {
        {"length", "HTTP/1.1 200 OK\r\nContent-Length: 1048576\r\n\r\n", 200, true},
        {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", 200, true},
        {"no framing", "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n", 200, true},
        {"103 then 404",
         "HTTP/1.1 103 Early Hints\r\n\r\nHTTP/1.1 404 No\r\nContent-Length: 9\r\n\r\n", 404, true},
        {"announced close", "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 5\r\n\r\n",
         200, false},
        {"1.0 closes by default", "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\n", 200, false},
    };
    ResponseFramer framer;
    for (const CompleteCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string bytes = c.response + std::string(kNextBytes);
        for (const auto& cuts : everySplit(bytes.size())) {
            const FeedOutcome outcome = feedPieces(framer, bytes, cuts, true);
            ASSERT_EQ(outcome.status, FrameStatus::Complete) << cuts.size() << " cuts";
            ASSERT_EQ(outcome.consumedBytes, c.response.size()) << cuts.size() << " cuts";
            ASSERT_EQ(framer.statusCode, c.statusCode);
            ASSERT_EQ(responseKeepsConnection(framer), c.keepsConnection);
        }
    }
    // The next request, not HEAD, waits for the body that the same header announces.
    EXPECT_EQ(feedPieces(framer, cases[0].response, {}).status, FrameStatus::NeedMore);
}

TEST(ResponseFramer, CloseFramedBodyEndsAtEndOfStream) {
    const std::pair<const char*, std::string> cases[] = {
        {"no length", "HTTP/1.1 200 OK\r\n\r\nsome body\r\n\r\n"},
        {"no length, no body yet", "HTTP/1.1 200 OK\r\n\r\n"},
        {"last coding not chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked, gzip\r\n\r\nz"},
        {"1.0 keep-alive without length",
         "HTTP/1.0 200 OK\r\nConnection: keep-alive\r\n\r\nHTTP/1.0 200 OK\r\n"},
    };
    ResponseFramer framer;
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        for (const auto& cuts : everySplit(bytes.size())) {
            const FeedOutcome outcome = feedPieces(framer, bytes, cuts);
            ASSERT_EQ(outcome.status, FrameStatus::NeedMore);
            ASSERT_TRUE(outcome.allOfNeedMoreUsed);
            ASSERT_EQ(endOfStream(framer), FrameStatus::Complete);
            ASSERT_FALSE(responseKeepsConnection(framer));
        }
    }
}

TEST(ResponseFramer, MalformedHoweverSplit) {
    const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    const std::string length = "HTTP/1.1 200 OK\r\nContent-Length:";
    const std::pair<const char*, std::string> cases[] = {
        {"empty first line", "\r\nHTTP/1.1 200 OK\r\n\r\n"},
        {"lower-case protocol", "http/1.1 200 OK\r\n\r\n"},
        {"major version 2", "HTTP/2.0 200 OK\r\n\r\n"},
        {"two-digit code", "HTTP/1.1 20 OK\r\n\r\n"},
        {"code 600", "HTTP/1.1 600 Odd\r\n\r\n"},
        {"code 099", "HTTP/1.1 099 Odd\r\n\r\n"},
        {"no space after code", "HTTP/1.1 200OK\r\n\r\n"},
        {"two spaces before code", "HTTP/1.1  200 OK\r\n\r\n"},
        {"101 switch", "HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\n\r\n"},
        {"field without colon", "HTTP/1.1 200 OK\r\nBroken\r\n\r\n"},
        {"blank before colon", "HTTP/1.1 200 OK\r\nContent-Length : 1\r\n\r\nx"},
        {"folded length", "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n 2\r\n\r\nx"},
        {"empty coding", "HTTP/1.1 200 OK\r\nTransfer-Encoding: \r\n\r\n"},
        {"length empty", length + " \r\n\r\n"},
        {"length signed -", length + " -1\r\n\r\n"},
        {"length signed +", length + " +1\r\n\r\n"},
        {"length hex", length + " 0x1\r\n\r\n"},
        {"length inner space", length + " 1 1\r\n\r\n"},
        {"length overflow", length + " 18446744073709551616\r\n\r\n"},
        {"length list differs", length + " 1, 2\r\n\r\n"},
        {"length list empty element", length + " 1,\r\n\r\n"},
        {"length repeat differs", length + " 1\r\nContent-Length: 2\r\n\r\n"},
        {"chunk size missing", chunked + "\r\n"},
        {"chunk size not hex", chunked + "g\r\n"},
        {"chunk size signed", chunked + "-1\r\n"},
        {"chunk size 0x", chunked + "0x1\r\n"},
        {"chunk size leading blank", chunked + " 1\r\n"},
        {"chunk size extension only", chunked + ";x\r\n"},
        {"chunk size overflow", chunked + "10000000000000000\r\n"},
        {"chunk size CR without LF", chunked + "1\rx"},
        {"chunk data too long", chunked + "1\r\nab\r\n"},
        {"chunk data CR then other", chunked + "1\r\na\rb"},
        {"chunk line over limit",
         chunked + "1;" + std::string(kMaxChunkLineBytes - 2, 'x') + "\r\n"},
    };
    ResponseFramer framer;
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        for (const auto& cuts : everySplit(bytes.size())) {
            ASSERT_EQ(feedPieces(framer, bytes, cuts).status, FrameStatus::Malformed);
        }
    }
}

TEST(ResponseFramer, LargestLengthsStillWaitForMore) {
    const std::string bytes[] = {
        "HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551615\r\n\r\nabc",
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nffffFFFFffffFFFF\r\nabc",
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1;" +
            std::string(kMaxChunkLineBytes - 3, 'x') + "\r\n",
    };
    ResponseFramer framer;
    for (const std::string& input : bytes) {
        EXPECT_EQ(feedPieces(framer, input, {}).status, FrameStatus::NeedMore) << input.size();
    }
}

// Pads a response with one field so that its header or trailer section has
// exactly the given size, empty line included.
std::string withSectionBytes(const std::string& start, std::size_t sectionBytes,
                             const std::string& after) {
    const std::string fieldStart = "X-Pad: ";
    const std::size_t padBytes = sectionBytes - start.size() - fieldStart.size() - 4;
    return start + fieldStart + std::string(padBytes, 'p') + "\r\n\r\n" + after;
}

TEST(ResponseFramer, HeaderAndTrailerSectionsAreBounded) {
    const std::string header = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n";
    const std::string lastChunk = "0\r\n";
    for (const std::size_t pieceBytes : {std::size_t{4096}, std::size_t{1} << 20}) {
        SCOPED_TRACE(pieceBytes);
        for (const bool inTrailer : {false, true}) {
            for (const std::size_t sectionBytes : {kMaxHeaderBytes, kMaxHeaderBytes + 1}) {
                const std::string bytes =
                    inTrailer ? header + "\r\n" + withSectionBytes(lastChunk, sectionBytes + 3, "")
                              : withSectionBytes(header, sectionBytes, lastChunk + "\r\n");
                std::vector<std::size_t> cuts;
                for (std::size_t cut = pieceBytes; cut < bytes.size(); cut += pieceBytes) {
                    cuts.push_back(cut);
                }
                ResponseFramer framer;
                const FrameStatus expected = sectionBytes == kMaxHeaderBytes
                                                 ? FrameStatus::Complete
                                                 : FrameStatus::Malformed;
                EXPECT_EQ(feedPieces(framer, bytes, cuts).status, expected)
                    << sectionBytes << (inTrailer ? " trailer" : " header");
            }
        }
    }
    // A header that never ends fails once it passes the limit, not at the close.
    ResponseFramer framer;
    const std::string endless = "HTTP/1.1 200 OK\r\nX: " + std::string(kMaxHeaderBytes, 'x');
    EXPECT_EQ(feedPieces(framer, endless, {4096}).status, FrameStatus::Malformed);
}

TEST(ResponseFramer, EndOfStreamFailsUnlessTheCloseFramesTheBody) {
    const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    const std::pair<std::string, FrameStatus> cases[] = {
        {"", FrameStatus::Malformed},
        {"HTTP/1.1 200 OK\r\nContent-", FrameStatus::Malformed},
        {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhel", FrameStatus::Malformed},
        {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n", FrameStatus::Malformed},
        {"HTTP/1.1 100 Continue\r\n\r\n", FrameStatus::Malformed},
        {chunked, FrameStatus::Malformed},
        {chunked + "5;ext", FrameStatus::Malformed},
        {chunked + "5\r\nhe", FrameStatus::Malformed},
        {chunked + "5\r\nhello\r", FrameStatus::Malformed},
        {chunked + "0\r\nX-T: 1\r\n", FrameStatus::Malformed},
        {"HTTP/1.1 200 OK\r\n\r\n", FrameStatus::Complete},
        {"HTTP/1.1 200 OK\r\n\r\npartial", FrameStatus::Complete},
    };
    ResponseFramer framer;
    for (const auto& [bytes, expected] : cases) {
        ASSERT_EQ(feedPieces(framer, bytes, {}).status, FrameStatus::NeedMore) << bytes;
        EXPECT_EQ(endOfStream(framer), expected) << bytes;
    }
}

TEST(ResponseFramer, ReuseStartsCleanAndFeedsAfterTheEndAreRefused) {
    const std::string first = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nab";
    const std::string second = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
    const std::string both = first + second;
    ResponseFramer framer;
    // A header left half read is dropped by the next beginResponse.
    feedPieces(framer, "HTTP/1.1 500 Half", {});
    const std::size_t capacityBytes = framer.headerBuffer.capacity();
    const FeedOutcome outcome = feedPieces(framer, both, {});
    ASSERT_EQ(outcome.status, FrameStatus::Complete);
    EXPECT_EQ(outcome.consumedBytes, first.size());
    EXPECT_GE(framer.headerBuffer.capacity(), capacityBytes);

    FrameResult result = feedResponse(framer, both.data() + first.size(), second.size());
    EXPECT_EQ(result.status, FrameStatus::Malformed) << "fed again without beginResponse";

    beginResponse(framer);
    result = feedResponse(framer, both.data() + first.size(), second.size());
    EXPECT_EQ(result.status, FrameStatus::Complete);
    EXPECT_EQ(result.consumedBytes, second.size());
    EXPECT_EQ(framer.statusCode, 404);
    EXPECT_EQ(feedResponse(framer, "x", 1).status, FrameStatus::Malformed);
}

}  // namespace
