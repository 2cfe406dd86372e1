#include "request_head.h"

#include <algorithm>
#include <cctype>

#include "answer.h"
#include "socket_send.h"

namespace target {

namespace {

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

}  // namespace

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

// Refuses a request with a short text saying why; the connection ends after it.
void sendRefusal(int fd, int status, const std::string& text) {
    std::string fields =
        "Content-Type: text/plain\r\nContent-Length: " + std::to_string(text.size() + 1) + "\r\n";
    if (status == 405) fields += "Allow: GET\r\n";
    const std::string statusLine =
        "HTTP/1.1 " + std::to_string(status) + " " + std::string(reasonPhrase(status));
    sendAll(fd, makeHead(statusLine, fields, true), text + "\n");
}

}  // namespace target
