// velkor_target: the HTTP/1.1 server that velkor's integration, demo and
// fault-injection tests aim at. It answers every GET the same way, chosen by
// --mode, and can misbehave on purpose (resets, garbage, stalls, slow bytes).
//
// Linux only. Each accepted connection gets its own thread with a small stack,
// so the behaviours that pause (delay, trickle, split-header) are plain sleeps
// and thousands of idle keep-alive connections cost only memory. The main
// thread accepts, keeps the stop and refuse deadlines, and waits for signals.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "target/request_capture.h"

namespace {

using Clock = std::chrono::steady_clock;

enum class Mode {
    Fast,
    Delay,
    Chunked,
    Close,
    Http10,
    EarlyHints,
    UntilClose,
    Never,
    CloseAtOnce,
    NoContent,
    ResetInHeader,
    ResetInBody,
    CloseAfterHeader,
    HugeHeader,
    Garbage,
    BadChunk,
    Trickle,
    BigBody,
    SplitHeader,
};

// One spelling of --mode on the command line.
struct ModeName {
    std::string_view name;  // the word given after --mode
    Mode mode;              // the behaviour it selects
};

constexpr ModeName kModeNames[] = {
    {"fast", Mode::Fast},
    {"delay", Mode::Delay},
    {"chunked", Mode::Chunked},
    {"close", Mode::Close},
    {"http10", Mode::Http10},
    {"early-hints", Mode::EarlyHints},
    {"until-close", Mode::UntilClose},
    {"never", Mode::Never},
    {"close-at-once", Mode::CloseAtOnce},
    {"no-content", Mode::NoContent},
    {"reset-in-header", Mode::ResetInHeader},
    {"reset-in-body", Mode::ResetInBody},
    {"close-after-header", Mode::CloseAfterHeader},
    {"huge-header", Mode::HugeHeader},
    {"garbage", Mode::Garbage},
    {"bad-chunk", Mode::BadChunk},
    {"trickle", Mode::Trickle},
    {"big-body", Mode::BigBody},
    {"split-header", Mode::SplitHeader},
};

constexpr const char* kUsage =
    "usage: velkor_target [--port N] [--mode MODE] [--delay-ms N] [--body-bytes N]\n"
    "                     [--stop-after-sec N] [--close-every N] [--fail-after-sec N]\n"
    "                     [--refuse-after-sec N] [--status N] [--count-connections]\n"
    "                     [--capture FILE]\n"
    "HTTP/1.1 test server on 127.0.0.1 that answers every GET as MODE says.\n"
    "  --port N              TCP port; 0 picks a free one (default 0)\n"
    "  --mode MODE           how each GET is answered (default fast)\n"
    "  --delay-ms N          wait before each answer in delay mode, ms (default 100)\n"
    "  --body-bytes N        body size, bytes (default 2; 1048576 in big-body mode)\n"
    "  --stop-after-sec N    exit by itself after N seconds, 1..86400 (default 60)\n"
    "  --close-every N       keep-alive modes: close the connection after every Nth\n"
    "                        answer on it, announced by Connection: close (0 = never)\n"
    "  --fail-after-sec N    from N seconds on, leave every new request unanswered\n"
    "  --refuse-after-sec N  at N seconds, close the listening socket\n"
    "  --status N            status code of the answers that are 200 by default,\n"
    "                        200..599 (default 200)\n"
    "  --count-connections   also print 'accepted N' (connections taken) at exit\n"
    "  --capture FILE        take any method and a Content-Length body, answer\n"
    "                        200 'ok', keep the first request's bytes in FILE, and\n"
    "                        print 'captured N, unlike the first M' at exit\n"
    "modes:\n"
    "  fast delay chunked close http10 early-hints until-close no-content\n"
    "  never close-at-once reset-in-header reset-in-body close-after-header\n"
    "  huge-header garbage bad-chunk trickle big-body split-header\n"
    "Prints 'listening on 127.0.0.1:PORT' when ready and 'served N' (complete\n"
    "answers sent) at exit; exits 0 on SIGTERM, SIGINT or the stop time.\n";

// Everything the command line sets.
struct Options {
    int64_t port = 0;           // TCP port on 127.0.0.1; 0 lets the kernel pick a free one
    Mode mode = Mode::Fast;     // how each GET is answered
    int64_t delayMs = 100;      // wait before each answer in delay mode, milliseconds
    int64_t bodyBytes = -1;     // response body size, bytes; -1 until resolved from the mode
    int64_t stopAfterSec = 60;  // lifetime of the process, seconds
    int64_t closeEvery = 0;     // answers per keep-alive connection before closing it; 0 = no limit
    int64_t failAfterSec = -1;  // seconds after which requests stay unanswered; -1 = never
    int64_t refuseAfterSec = -1;    // seconds after which the listener closes; -1 = never
    int64_t status = 200;           // status code of the answers that are 200 by default
    bool showHelp = false;          // --help was given: print the usage and exit 0
    bool countConnections = false;  // print the number of accepted connections at exit
    std::string capturePath;        // --capture: file for the first request; empty: no capture
};

// A flag that takes a whole decimal number within a range.
struct NumericFlag {
    std::string_view name;    // spelling on the command line
    int64_t Options::*field;  // where the value goes
    int64_t minValue;         // smallest accepted value
    int64_t maxValue;         // largest accepted value
};

constexpr int64_t kMaxBodyBytes = int64_t{256} << 20;
constexpr int64_t kMaxSeconds = 86'400;

constexpr NumericFlag kNumericFlags[] = {
    {"--port", &Options::port, 0, 65'535},
    {"--delay-ms", &Options::delayMs, 0, 3'600'000},
    {"--body-bytes", &Options::bodyBytes, 0, kMaxBodyBytes},
    {"--stop-after-sec", &Options::stopAfterSec, 1, kMaxSeconds},
    {"--close-every", &Options::closeEvery, 0, INT32_MAX},
    {"--fail-after-sec", &Options::failAfterSec, 0, kMaxSeconds},
    {"--refuse-after-sec", &Options::refuseAfterSec, 0, kMaxSeconds},
    {"--status", &Options::status, 200, 599},
};

// Reads a whole decimal number; any other byte, a sign or an empty text is refused.
std::optional<int64_t> parseNumber(std::string_view text) {
    int64_t value = 0;
    if (text.empty() || text.front() == '-' || text.front() == '+') return std::nullopt;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<Mode> findMode(std::string_view name) {
    for (const ModeName& entry : kModeNames) {
        if (entry.name == name) return entry.mode;
    }
    return std::nullopt;
}

// Stores one flag's value; on failure, error says what is wrong in the user's terms.
bool applyFlag(Options& options, std::string_view name, std::string_view value,
               std::string& error) {
    if (name == "--capture") {
        options.capturePath = std::string(value);
        if (value.empty()) error = "--capture needs a file name";
        return !value.empty();
    }
    if (name == "--mode") {
        std::optional<Mode> mode = findMode(value);
        if (!mode) error = "unknown mode '" + std::string(value) + "'";
        if (mode) options.mode = *mode;
        return mode.has_value();
    }
    for (const NumericFlag& flag : kNumericFlags) {
        if (flag.name != name) continue;
        std::optional<int64_t> number = parseNumber(value);
        if (!number || *number < flag.minValue || *number > flag.maxValue) {
            error = std::string(name) + " needs a whole number from " +
                    std::to_string(flag.minValue) + " to " + std::to_string(flag.maxValue) +
                    ", not '" + std::string(value) + "'";
            return false;
        }
        options.*flag.field = *number;
        return true;
    }
    error = "unknown option '" + std::string(name) + "'";
    return false;
}

// Accepts "--flag value" and "--flag=value"; error is set when the result is empty.
std::optional<Options> parseArgs(int argc, char** argv, std::string& error) {
    Options options;
    for (int index = 1; index < argc; ++index) {
        std::string_view arg = argv[index];
        if (arg == "--help" || arg == "-h") {
            options.showHelp = true;
            continue;
        }
        if (arg == "--count-connections") {
            options.countConnections = true;
            continue;
        }
        std::string_view name = arg.substr(0, arg.find('='));
        std::string_view value;
        if (name.size() < arg.size()) {
            value = arg.substr(name.size() + 1);
        } else if (arg.starts_with("--") && index + 1 < argc) {
            value = argv[++index];
        } else {
            error = arg.starts_with("--") ? "option '" + std::string(arg) + "' needs a value"
                                          : "unexpected argument '" + std::string(arg) + "'";
            return std::nullopt;
        }
        if (!applyFlag(options, name, value, error)) return std::nullopt;
    }
    if (options.bodyBytes < 0) options.bodyBytes = options.mode == Mode::BigBody ? 1 << 20 : 2;
    return options;
}

// The bytes of one answer, built once at start so that serving a request only sends.
struct Answer {
    std::string head;         // status line and fields of an answer that keeps the connection
    std::string closingHead;  // the same, announcing Connection: close
    std::string payload;      // body as sent on the wire (chunk-framed in chunked mode)
};

// Everything the connection threads share; read-only once they run.
struct Server {
    Options options;           // the command line
    Answer answer;             // the prepared answer of the mode
    Clock::time_point failAt;  // requests completed from then on stay unanswered
};

// Final answers sent in full, reported as "served N" at exit.
std::atomic<uint64_t> g_servedCount{0};
// Connections taken from the backlog, reported as "accepted N" at exit when asked.
std::atomic<uint64_t> g_acceptedCount{0};
// Final answers being written right now. A client may already hold all the
// bytes of one before its thread counts it, so the exit waits for this to
// drop to zero: otherwise "served N" could miss an answer the client counted.
std::atomic<int64_t> g_sendingCount{0};

constexpr std::string_view kEarlyHints =
    "HTTP/1.1 103 Early Hints\r\nLink: </style.css>; rel=preload; as=style\r\n\r\n";

std::string makeHead(std::string_view statusLine, std::string_view fields, bool closing) {
    std::string head(statusLine);
    head += "\r\n";
    head += fields;
    if (closing) head += "Connection: close\r\n";
    head += "\r\n";
    return head;
}

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

// Sends both pieces in full, in as few calls as the kernel allows; false once the peer is gone.
bool sendAll(int fd, std::string_view first, std::string_view second = {}) {
    iovec pieces[2] = {{const_cast<char*>(first.data()), first.size()},
                       {const_cast<char*>(second.data()), second.size()}};
    size_t index = 0;
    while (index < 2) {
        if (pieces[index].iov_len == 0) {
            ++index;
            continue;
        }
        msghdr message{};
        message.msg_iov = pieces + index;
        message.msg_iovlen = 2 - index;
        ssize_t sent = sendmsg(fd, &message, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0) return false;
        for (size_t left = size_t(sent); left > 0;) {
            const size_t used = std::min(left, pieces[index].iov_len);
            pieces[index].iov_base = static_cast<char*>(pieces[index].iov_base) + used;
            pieces[index].iov_len -= used;
            left -= used;
            if (pieces[index].iov_len == 0) ++index;
        }
    }
    return true;
}

void sleepMs(int64_t durationMs) {
    std::this_thread::sleep_for(std::chrono::milliseconds(durationMs));
}

// One byte every 10 ms, so a client sees the answer across dozens of reads.
bool sendTrickle(int fd, std::string_view head, std::string_view payload) {
    const std::string whole = std::string(head) + std::string(payload);
    for (size_t index = 0; index < whole.size(); ++index) {
        if (index > 0) sleepMs(10);
        if (!sendAll(fd, whole.substr(index, 1))) return false;
    }
    return true;
}

// Writes the head in four pieces 2 ms apart: cut in the status line, then twice
// inside the final "\r\n\r\n", so a client must find the blank line across reads.
bool sendSplitHeader(int fd, std::string_view head, std::string_view payload) {
    const size_t cuts[] = {0, head.find("\r\n") / 2, head.size() - 3, head.size() - 1};
    for (size_t index = 0; index < 3; ++index) {
        if (index > 0) sleepMs(2);
        if (!sendAll(fd, head.substr(cuts[index], cuts[index + 1] - cuts[index]))) return false;
    }
    sleepMs(2);
    return sendAll(fd, head.substr(cuts[3]), payload);
}

// How a connection ends once the current request is dealt with.
enum class Ending { KeepOpen, Graceful, Abrupt };

// Closing with SO_LINGER 0 sends a reset instead of the normal end of stream.
void armReset(int fd) {
    linger option{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
}

// The fault modes: answers that are torn, malformed or cut off on purpose.
// None of them counts as served.
Ending sendFault(int fd, Mode mode) {
    const std::string bodyPart(100, 'x');
    const std::string longHead =
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 1000\r\n\r\n";
    bool sent = true;
    switch (mode) {
        case Mode::ResetInHeader:
        case Mode::ResetInBody:
            if (mode == Mode::ResetInHeader) {
                sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n");
            } else {
                sendAll(fd, longHead, bodyPart);
            }
            sleepMs(20);  // lets the partial bytes reach the client before the reset
            armReset(fd);
            return Ending::Abrupt;
        case Mode::CloseAfterHeader:
            sent = sendAll(fd, longHead);
            break;
        case Mode::Garbage:
            sent = sendAll(fd, "NOT HTTP AT ALL\r\n\r\n");
            break;
        default:  // bad-chunk
            sent = sendAll(fd, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n",
                           "zz\r\nab\r\n0\r\n\r\n");
            break;
    }
    return sent ? Ending::Graceful : Ending::Abrupt;
}

// Answers one request the way the mode says and tells how the connection goes on.
Ending answerRequest(int fd, const Server& server, bool closing) {
    const Mode mode = server.options.mode;
    const Answer& answer = server.answer;
    const std::string& head = closing ? answer.closingHead : answer.head;
    switch (mode) {
        case Mode::Never:
            return Ending::KeepOpen;
        case Mode::CloseAtOnce:
            return Ending::Abrupt;
        case Mode::ResetInHeader:
        case Mode::ResetInBody:
        case Mode::CloseAfterHeader:
        case Mode::Garbage:
        case Mode::BadChunk:
            return sendFault(fd, mode);
        case Mode::Delay:
            sleepMs(server.options.delayMs);
            break;
        default:
            break;
    }
    g_sendingCount.fetch_add(1);
    bool sent = false;
    switch (mode) {
        case Mode::Trickle:
            sent = sendTrickle(fd, head, answer.payload);
            break;
        case Mode::SplitHeader:
            sent = sendSplitHeader(fd, head, answer.payload);
            break;
        default:
            sent = sendAll(fd, head, answer.payload);
            break;
    }
    if (sent) g_servedCount.fetch_add(1);
    g_sendingCount.fetch_sub(1);  // only after the count: the exit reads these in the other order
    if (!sent) return Ending::Abrupt;
    return closing ? Ending::Graceful : Ending::KeepOpen;
}

// What the server needs to know about one request head.
struct Request {
    int errorStatus = 0;      // 0 when the request is acceptable, else the status to refuse it with
    std::string errorText;    // why it was refused, sent as the body of the refusal
    bool wantsClose = false;  // the client asked for the connection to end after the answer
    bool wantsKeepAlive = false;  // an HTTP/1.0 client asked to keep the connection
};

bool equalsIgnoringCase(std::string_view left, std::string_view right) {
    return left.size() == right.size() &&
           std::equal(left.begin(), left.end(), right.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           });
}

std::string_view trimmed(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

void refuse(Request& request, int status, std::string text) {
    if (request.errorStatus != 0) return;  // the first problem found is the one reported
    request.errorStatus = status;
    request.errorText = std::move(text);
}

// Checks "GET target HTTP/1.x" with single spaces.
void checkRequestLine(std::string_view line, Request& request) {
    const size_t firstSpace = line.find(' ');
    const size_t secondSpace = line.find(' ', firstSpace + 1);
    if (firstSpace == 0 || firstSpace == std::string_view::npos ||
        secondSpace == std::string_view::npos || secondSpace == firstSpace + 1 ||
        line.find(' ', secondSpace + 1) != std::string_view::npos) {
        return refuse(request, 400, "malformed request line");
    }
    const std::string_view version = line.substr(secondSpace + 1);
    if (!version.starts_with("HTTP/")) return refuse(request, 400, "malformed HTTP version");
    if (version != "HTTP/1.1" && version != "HTTP/1.0") {
        return refuse(request, 505, "only HTTP/1.0 and HTTP/1.1 are served");
    }
    if (line.substr(0, firstSpace) != "GET") return refuse(request, 405, "only GET is served");
}

// Looks at the fields that change how the request is framed or the connection ends.
void checkField(std::string_view line, Request& request) {
    const size_t colon = line.find(':');
    const std::string_view name = line.substr(0, colon);
    if (colon == std::string_view::npos || colon == 0 ||
        name.find_first_of(" \t") != std::string_view::npos) {
        return refuse(request, 400, "malformed header field");
    }
    const std::string_view value = trimmed(line.substr(colon + 1));
    if (equalsIgnoringCase(name, "Connection")) {
        for (size_t start = 0; start <= value.size();) {
            size_t comma = std::min(value.find(',', start), value.size());
            std::string_view option = trimmed(value.substr(start, comma - start));
            if (equalsIgnoringCase(option, "close")) request.wantsClose = true;
            if (equalsIgnoringCase(option, "keep-alive")) request.wantsKeepAlive = true;
            start = comma + 1;
        }
    } else if (equalsIgnoringCase(name, "Transfer-Encoding") ||
               (equalsIgnoringCase(name, "Content-Length") &&
                (value.empty() || value.find_first_not_of('0') != std::string_view::npos))) {
        refuse(request, 400, "request bodies are not accepted");
    }
}

// Reads a request head; bare LF line ends are accepted as well as CRLF.
Request parseRequest(std::string_view head) {
    Request request;
    bool sawRequestLine = false;
    bool http10 = false;
    for (size_t start = 0; start < head.size();) {
        size_t end = std::min(head.find('\n', start), head.size());
        std::string_view line = head.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) continue;  // stray blank lines before a request are allowed
        if (sawRequestLine && (line.front() == ' ' || line.front() == '\t')) {
            refuse(request, 400, "folded header lines are not accepted");
        } else if (sawRequestLine) {
            checkField(line, request);
        } else {
            checkRequestLine(line, request);
            http10 = line.ends_with("HTTP/1.0");
            sawRequestLine = true;
        }
    }
    if (!sawRequestLine) refuse(request, 400, "empty request");
    if (http10 && !request.wantsKeepAlive) request.wantsClose = true;  // HTTP/1.0 default
    return request;
}

std::string_view reasonPhrase(int status) {
    switch (status) {
        case 405:
            return "Method Not Allowed";
        case 431:
            return "Request Header Fields Too Large";
        case 505:
            return "HTTP Version Not Supported";
        default:
            return "Bad Request";
    }
}

// Refuses a request with a short text saying why; the connection ends after it.
void sendRefusal(int fd, int status, const std::string& text) {
    std::string fields =
        "Content-Type: text/plain\r\nContent-Length: " + std::to_string(text.size() + 1) + "\r\n";
    if (status == 405) fields += "Allow: GET\r\n";
    const std::string statusLine =
        "HTTP/1.1 " + std::to_string(status) + " " + std::string(reasonPhrase(status));
    sendAll(fd, makeHead(statusLine, fields, true), text + "\n");
}

constexpr size_t kMaxRequestHeadBytes = 64 * 1024;
constexpr size_t kReadChunkBytes = 4 * 1024;  // requests are small; keeps thread stacks shallow

// One connection's reading state.
struct Connection {
    int fd = -1;                // the accepted socket
    std::string input;          // received bytes not yet taken as requests
    int64_t answeredCount = 0;  // final answers this connection asked for, for --close-every
};

// Index just past the blank line that ends a head, or npos. Scanning starts at
// `from` so that each new read only looks at the new bytes and the two before.
size_t findHeadEnd(std::string_view input, size_t from) {
    for (size_t index = input.find('\n', from); index != std::string_view::npos;
         index = input.find('\n', index + 1)) {
        if (index + 1 < input.size() && input[index + 1] == '\n') return index + 2;
        if (index + 2 < input.size() && input[index + 1] == '\r' && input[index + 2] == '\n') {
            return index + 3;
        }
    }
    return std::string_view::npos;
}

bool receiveMore(Connection& connection) {
    char chunk[kReadChunkBytes];
    ssize_t got;
    do {
        got = recv(connection.fd, chunk, sizeof chunk, 0);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) return false;
    connection.input.append(chunk, size_t(got));
    return true;
}

enum class ReadStatus { Request, Closed, TooLarge };

// Waits until a whole request head has arrived and moves it out of the input.
ReadStatus readRequestHead(Connection& connection, std::string& head) {
    size_t scanFrom = 0;
    while (true) {
        const size_t end = findHeadEnd(connection.input, scanFrom);
        if (end != std::string_view::npos) {
            head.assign(connection.input, 0, end);
            connection.input.erase(0, end);
            return ReadStatus::Request;
        }
        if (connection.input.size() > kMaxRequestHeadBytes) return ReadStatus::TooLarge;
        scanFrom = connection.input.size() < 2 ? 0 : connection.input.size() - 2;
        if (!receiveMore(connection)) return ReadStatus::Closed;
    }
}

// Ends the stream, then reads and drops what the client still sends for up to
// a second: closing with unread input would reset and could destroy the answer.
void closeGracefully(int fd) {
    shutdown(fd, SHUT_WR);
    const Clock::time_point giveUpAt = Clock::now() + std::chrono::seconds(1);
    char sink[4096];
    for (Clock::time_point now = Clock::now(); now < giveUpAt; now = Clock::now()) {
        pollfd waiter{fd, POLLIN, 0};
        const auto leftMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(giveUpAt - now).count();
        if (poll(&waiter, 1, int(leftMs) + 1) <= 0) break;
        if (recv(fd, sink, sizeof sink, 0) <= 0) break;
    }
    close(fd);
}

void serveConnection(int fd, const Server& server) {
    Connection connection{fd, {}, 0};
    const Options& options = server.options;
    Ending ending = Ending::KeepOpen;
    std::string head;
    while (ending == Ending::KeepOpen) {
        const ReadStatus status = readRequestHead(connection, head);
        if (status == ReadStatus::Closed) break;
        const Request request = status == ReadStatus::TooLarge
                                    ? Request{431, "request head too large", false, false}
                                    : parseRequest(head);
        if (request.errorStatus != 0) {
            sendRefusal(fd, request.errorStatus, request.errorText);
            ending = Ending::Graceful;
            break;
        }
        if (Clock::now() >= server.failAt) continue;  // failing: read on, answer nothing
        const int64_t number = ++connection.answeredCount;
        const bool closing = request.wantsClose || modeAlwaysCloses(options.mode) ||
                             (options.closeEvery > 0 && number % options.closeEvery == 0);
        ending = answerRequest(fd, server, closing);
    }
    if (ending == Ending::Graceful) {
        closeGracefully(fd);
    } else {
        close(fd);
    }
}

// What a new connection thread is handed.
struct ThreadStart {
    int fd;                // the accepted socket, owned by the thread from then on
    const Server* server;  // shared, read-only settings
};

void* connectionThread(void* argument) {
    const ThreadStart start = *static_cast<ThreadStart*>(argument);
    delete static_cast<ThreadStart*>(argument);
    try {
        if (!start.server->options.capturePath.empty()) {
            g_servedCount.fetch_add(serveCapturedConnection(start.fd));
            return nullptr;
        }
        serveConnection(start.fd, *start.server);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "velkor_target: connection dropped: %s\n", error.what());
        close(start.fd);
    }
    return nullptr;
}

// Serves the socket on a detached thread with a 64 KiB stack; without one, drops it.
void startConnectionThread(int fd, const Server& server) {
    static std::atomic<bool> warned{false};
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, std::max<size_t>(64 * 1024, PTHREAD_STACK_MIN));
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    auto* start = new ThreadStart{fd, &server};
    pthread_t thread;
    const int error = pthread_create(&thread, &attributes, connectionThread, start);
    pthread_attr_destroy(&attributes);
    if (error == 0) return;
    delete start;
    close(fd);
    if (!warned.exchange(true)) {
        std::fprintf(stderr,
                     "velkor_target: cannot start a connection thread (%s); "
                     "dropping connections\n",
                     std::strerror(error));
    }
}

// Takes every connection waiting in the backlog.
void acceptPending(int listenFd, const Server& server) {
    static bool warned = false;
    while (true) {
        const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            g_acceptedCount.fetch_add(1);
            const int one = 1;  // answers written in pieces must not wait for Nagle
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            startConnectionThread(fd, server);
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return;
        if (!warned) {
            std::fprintf(stderr, "velkor_target: accept failed: %s\n", std::strerror(errno));
            warned = true;
        }
        sleepMs(10);  // out of descriptors or memory: let connections end before retrying
        return;
    }
}

// The listening socket on 127.0.0.1, or -1 after saying why on stderr.
int openListener(int64_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::fprintf(stderr, "velkor_target: socket: %s\n", std::strerror(errno));
        return -1;
    }
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 65'535) != 0) {
        std::fprintf(stderr, "velkor_target: cannot listen on 127.0.0.1:%lld: %s\n",
                     static_cast<long long>(port), std::strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

int boundPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// Thousands of connections need as many descriptors as the hard limit allows.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) == 0) return;
    limit.rlim_cur = 1 << 20;  // an unlimited hard limit is still capped by the kernel
    setrlimit(RLIMIT_NOFILE, &limit);
}

// SIGINT and SIGTERM arrive as readable data on the returned descriptor. They
// are blocked before any thread starts, so every thread inherits the mask.
int blockStopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return signalfd(-1, &signals, SFD_CLOEXEC);
}

int msUntil(Clock::time_point deadline) {
    const auto leftMs =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return int(std::clamp<int64_t>(leftMs, 0, INT_MAX));
}

// Accepts until a stop signal or the stop time; closes the listener at the
// refuse time so that new connections are refused while open ones go on.
void runAcceptLoop(int listenFd, int signalFd, const Server& server, Clock::time_point stopAt,
                   Clock::time_point refuseAt) {
    while (Clock::now() < stopAt) {
        if (listenFd >= 0 && Clock::now() >= refuseAt) {
            close(listenFd);
            listenFd = -1;
        }
        pollfd waiters[2] = {{signalFd, POLLIN, 0}, {listenFd, POLLIN, 0}};
        const int timeoutMs = msUntil(listenFd >= 0 ? std::min(stopAt, refuseAt) : stopAt);
        const int ready = poll(waiters, listenFd >= 0 ? 2 : 1, timeoutMs);
        if (ready < 0 && errno != EINTR) {
            std::fprintf(stderr, "velkor_target: poll: %s\n", std::strerror(errno));
            return;
        }
        if (ready > 0 && waiters[0].revents != 0) return;
        if (ready > 0 && waiters[1].revents != 0) acceptPending(listenFd, server);
    }
}

// Lets answers being written finish, for a second at most: a client that
// stopped reading must not hold up the exit.
void waitForAnswersInFlight() {
    const Clock::time_point giveUpAt = Clock::now() + std::chrono::seconds(1);
    while (g_sendingCount.load() > 0 && Clock::now() < giveUpAt) sleepMs(1);
}

Clock::time_point deadlineAfter(Clock::time_point start, int64_t seconds) {
    return seconds < 0 ? Clock::time_point::max() : start + std::chrono::seconds(seconds);
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    const std::optional<Options> options = parseArgs(argc, argv, error);
    if (!options) {
        std::fprintf(stderr, "velkor_target: %s\n%s", error.c_str(), kUsage);
        return 2;
    }
    if (options->showHelp) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    raiseDescriptorLimit();
    if (!options->capturePath.empty()) startCapture(options->capturePath);
    const int signalFd = blockStopSignals();
    const int listenFd = openListener(options->port);
    if (listenFd < 0 || signalFd < 0) return 1;
    const Clock::time_point start = Clock::now();
    const Server server{*options, buildAnswer(*options),
                        deadlineAfter(start, options->failAfterSec)};
    std::printf("listening on 127.0.0.1:%d\n", boundPort(listenFd));
    std::fflush(stdout);
    runAcceptLoop(listenFd, signalFd, server, deadlineAfter(start, options->stopAfterSec),
                  deadlineAfter(start, options->refuseAfterSec));
    waitForAnswersInFlight();
    std::printf("served %llu\n", static_cast<unsigned long long>(g_servedCount.load()));
    if (options->countConnections) {
        std::printf("accepted %llu\n", static_cast<unsigned long long>(g_acceptedCount.load()));
    }
    if (!options->capturePath.empty()) printCaptureCounts(stdout);
    std::fflush(stdout);
    // Connection threads may still be blocked in calls; ending the process
    // without running destructors under them is what makes the exit clean.
    _exit(0);
}
