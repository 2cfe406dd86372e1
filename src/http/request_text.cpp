#include "http/request_text.h"

#include "http/header_line.h"

namespace {

bool hasHostLine(const TestConfig& config) {
    for (const std::string& line : config.headerLines) {
        if (headerLineNames(line, "host")) return true;
    }
    return false;
}

// Methods whose requests have a meaning for content: without a body they
// still say it is empty, as servers that demand a length (411) require.
bool methodExpectsContent(const std::string& method) {
    return method == "POST" || method == "PUT" || method == "PATCH";
}

// An IPv6 address, the only host with a colon, is written in brackets as in
// the URL, and without its zone: the zone names an interface of this machine,
// nothing the server could use (RFC 6874, 4).
std::string hostLineValue(const std::string& host) {
    if (host.find(':') == std::string::npos) return host;
    std::string value = "[";
    value.append(host, 0, host.find('%'));
    value += ']';
    return value;
}

}  // namespace

std::string buildRequestHead(const TestConfig& config, std::uint64_t bodyBytes) {
    std::string text;
    text.reserve(49 + config.path.size() + config.host.size());
    text += config.method;
    text += ' ';
    text += config.path;
    text += " HTTP/1.1\r\n";
    const bool userHost = hasHostLine(config);
    if (!userHost) text += "Host: " + hostLineValue(config.host) + "\r\n";
    for (const std::string& line : config.headerLines) {
        if (headerLineNames(line, "host")) text += line + "\r\n";
    }
    text += "Connection: keep-alive\r\n";
    for (const std::string& line : config.headerLines) {
        if (!headerLineNames(line, "host")) text += line + "\r\n";
    }
    if (!config.bodyPath.empty() || methodExpectsContent(config.method)) {
        text += "Content-Length: " + std::to_string(bodyBytes) + "\r\n";
    }
    text += "\r\n";
    return text;
}

std::string buildRequestText(const TestConfig& config, std::string_view body) {
    return buildRequestHead(config, body.size()) + std::string(body);
}

bool requestIsHead(std::string_view requestText) {
    return requestText.starts_with("HEAD ");
}

std::uint64_t requestBodyBytes(std::string_view requestText) {
    const std::size_t headEnd = requestText.find("\r\n\r\n");
    return headEnd == std::string_view::npos ? 0 : requestText.size() - headEnd - 4;
}
