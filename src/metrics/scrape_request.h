// What the metrics endpoint makes of one request: it reads a request head
// of bounded size, answers GET /metrics, refuses anything else, and closes
// the connection after every answer.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The most bytes of a request head the endpoint reads; a longer one is refused.
inline constexpr std::size_t kScrapeHeadLimitBytes = 8192;

enum class ScrapeRoute {
    Incomplete,  // the head has not ended yet and may still
    Metrics,     // GET /metrics: answer with the figures
    NotFound,    // a well-formed GET of another path
    BadRequest,  // anything else: another method, a broken or oversized head
};

// The route of the bytes received so far on one connection.
ScrapeRoute routeOf(std::string_view received);

// The whole answer, status line to body: the exposition text for
// ScrapeRoute::Metrics, a short reason for a refusal.
std::string scrapeAnswer(ScrapeRoute route, std::string_view metricsText);
