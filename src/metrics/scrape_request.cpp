#include "metrics/scrape_request.h"

namespace {

// Where the head ends, counting the blank line; npos while it has not.
std::size_t headEnd(std::string_view received) {
    const std::size_t crlf = received.find("\r\n\r\n");
    if (crlf != std::string_view::npos) return crlf + 4;
    const std::size_t lf = received.find("\n\n");
    return lf == std::string_view::npos ? lf : lf + 2;
}

// "GET /metrics HTTP/1.1": three parts split by single spaces.
ScrapeRoute routeOfRequestLine(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::size_t first = line.find(' ');
    const std::size_t second = line.find(' ', first + 1);
    if (first == std::string_view::npos || second == std::string_view::npos) {
        return ScrapeRoute::BadRequest;
    }
    const std::string_view method = line.substr(0, first);
    const std::string_view target = line.substr(first + 1, second - first - 1);
    const std::string_view version = line.substr(second + 1);
    if (version != "HTTP/1.1" && version != "HTTP/1.0") return ScrapeRoute::BadRequest;
    if (method != "GET" || target.empty() || target[0] != '/') return ScrapeRoute::BadRequest;
    for (const char c : target) {
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F) return ScrapeRoute::BadRequest;
    }
    // A query (Prometheus sends none unless configured to) changes nothing.
    const std::string_view path = target.substr(0, target.find('?'));
    return path == "/metrics" ? ScrapeRoute::Metrics : ScrapeRoute::NotFound;
}

std::string answer(std::string_view status, std::string_view type, std::string_view body) {
    std::string text = "HTTP/1.1 ";
    text.append(status).append("\r\nContent-Type: ").append(type);
    text.append("\r\nContent-Length: ").append(std::to_string(body.size()));
    text.append("\r\nConnection: close\r\n\r\n").append(body);
    return text;
}

}  // namespace

ScrapeRoute routeOf(std::string_view received) {
    const std::size_t end = headEnd(received);
    if (end == std::string_view::npos) {
        return received.size() < kScrapeHeadLimitBytes ? ScrapeRoute::Incomplete
                                                       : ScrapeRoute::BadRequest;
    }
    if (end > kScrapeHeadLimitBytes) return ScrapeRoute::BadRequest;
    return routeOfRequestLine(received.substr(0, received.find('\n')));
}

std::string scrapeAnswer(ScrapeRoute route, std::string_view metricsText) {
    constexpr std::string_view kPlain = "text/plain; charset=utf-8";
    switch (route) {
        case ScrapeRoute::Metrics:
            return answer("200 OK", "text/plain; version=0.0.4; charset=utf-8", metricsText);
        case ScrapeRoute::NotFound:
            return answer("404 Not Found", kPlain, "velkor serves GET /metrics only\n");
        case ScrapeRoute::Incomplete:
        case ScrapeRoute::BadRequest:
            break;
    }
    return answer("400 Bad Request", kPlain, "velkor serves GET /metrics only\n");
}
