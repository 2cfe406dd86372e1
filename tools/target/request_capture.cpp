#include "request_capture.h"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <mutex>
#include <string_view>
#include <vector>

#include "server_state.h"

namespace target {

namespace {

constexpr std::size_t kReadChunkBytes = 64 * 1024;
constexpr std::size_t kMaxHeadBytes = 64 * 1024;
constexpr std::string_view kAnswerHead =
    "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n\r\n";
constexpr std::string_view kAnswerBody = "ok";

std::string g_capturePath;                      // --capture FILE
std::mutex g_firstLock;                         // guards g_first until it is set
std::string g_first;                            // the first request's bytes
bool g_haveFirst = false;                       // g_first holds a request
std::atomic<std::uint64_t> g_capturedCount{0};  // requests taken whole
std::atomic<std::uint64_t> g_unlikeCount{0};    // of them, differing from the first

// One request as received: its head and the body its Content-Length gives.
struct ReadRequest {
    std::string bytes;        // head and body, exactly as they arrived
    std::size_t headBytes;    // length of the head, its empty line included
    bool closeAfter = false;  // the client asked to end the connection
};

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

// The value of the first field named name (lower case) in head, or nothing.
bool fieldValue(std::string_view head, std::string_view name, std::string_view& value) {
    for (std::size_t start = head.find("\r\n") + 2; start < head.size();) {
        const std::size_t end = head.find("\r\n", start);
        const std::string_view line = head.substr(start, end - start);
        start = end + 2;
        if (line.size() <= name.size() || line[name.size()] != ':') continue;
        bool same = true;
        for (std::size_t i = 0; i < name.size(); ++i) same &= lower(line[i]) == name[i];
        if (!same) continue;
        value = line.substr(name.size() + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
            value.remove_prefix(1);
        }
        return true;
    }
    return false;
}

bool receiveInto(int fd, std::string& input, std::vector<char>& chunk) {
    ssize_t got;
    do {
        got = recv(fd, chunk.data(), chunk.size(), 0);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) return false;
    input.append(chunk.data(), std::size_t(got));
    return true;
}

// Takes the next whole request off the connection. False when the client
// closed, or the request cannot be framed (no CR LF head, a bad length, a
// chunked body), which ends the connection.
bool readRequest(int fd, std::string& input, ReadRequest& request) {
    std::vector<char> chunk(kReadChunkBytes);
    std::size_t headEnd;
    while ((headEnd = input.find("\r\n\r\n")) == std::string::npos) {
        if (input.size() > kMaxHeadBytes || !receiveInto(fd, input, chunk)) return false;
    }
    const std::string_view head(input.data(), headEnd + 4);
    std::string_view value;
    if (fieldValue(head, "transfer-encoding", value)) return false;
    std::uint64_t bodyBytes = 0;
    if (fieldValue(head, "content-length", value)) {
        const auto [end, error] =
            std::from_chars(value.data(), value.data() + value.size(), bodyBytes);
        if (error != std::errc() || end != value.data() + value.size()) return false;
    }
    request.closeAfter = fieldValue(head, "connection", value) && value == "close";
    request.headBytes = head.size();
    while (input.size() - request.headBytes < bodyBytes) {
        if (!receiveInto(fd, input, chunk)) return false;
    }
    request.bytes.assign(input, 0, request.headBytes + bodyBytes);
    input.erase(0, request.bytes.size());
    return true;
}

// The first request is written beside FILE and renamed into place, so a
// reader never sees it half written.
void record(const std::string& bytes) {
    g_capturedCount.fetch_add(1);
    std::lock_guard<std::mutex> hold(g_firstLock);
    if (g_haveFirst) {
        if (bytes != g_first) g_unlikeCount.fetch_add(1);
        return;
    }
    g_first = bytes;
    g_haveFirst = true;
    const std::string partial = g_capturePath + ".partial";
    std::FILE* file = std::fopen(partial.c_str(), "wb");
    const bool written =
        file != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (file != nullptr && std::fclose(file) == 0 && written) {
        std::rename(partial.c_str(), g_capturePath.c_str());
    } else {
        std::fprintf(stderr, "velkor_target: cannot write %s\n", g_capturePath.c_str());
    }
}

bool sendWhole(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t sent = send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        text.remove_prefix(std::size_t(sent));
    }
    return true;
}

}  // namespace

void startCapture(const std::string& path) {
    g_capturePath = path;
}

void serveCapturedConnection(int fd) {
    std::string input;
    ReadRequest request;
    while (readRequest(fd, input, request)) {
        record(request.bytes);
        const bool head = request.bytes.starts_with("HEAD ");
        std::string answer(kAnswerHead);
        if (!head) answer += kAnswerBody;
        // Counted as each answer goes, as the other modes count theirs.
        g_sendingCount.fetch_add(1);
        const bool sent = sendWhole(fd, answer);
        if (sent) g_servedCount.fetch_add(1);
        g_sendingCount.fetch_sub(1);
        if (!sent || request.closeAfter) break;
    }
    close(fd);
}

void printCaptureCounts(std::FILE* out) {
    std::fprintf(out, "captured %llu, unlike the first %llu\n",
                 static_cast<unsigned long long>(g_capturedCount.load()),
                 static_cast<unsigned long long>(g_unlikeCount.load()));
}

}  // namespace target
