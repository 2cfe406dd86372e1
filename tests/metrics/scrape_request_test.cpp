#include "metrics/scrape_request.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ScrapeRequest, OnlyAWholeGetOfMetricsIsAnswered) {
    const struct {
        std::string received;
        ScrapeRoute route;
    } cases[] = {
        {"GET /metrics HTTP/1.1\r\nHost: h\r\nAccept: text/plain\r\n\r\n", ScrapeRoute::Metrics},
        {"GET /metrics?x=1 HTTP/1.0\r\n\r\n", ScrapeRoute::Metrics},
        {"GET /metrics HTTP/1.1\n\n", ScrapeRoute::Metrics},
        {"GET / HTTP/1.1\r\n\r\n", ScrapeRoute::NotFound},
        {"GET /metrics/x HTTP/1.1\r\n\r\n", ScrapeRoute::NotFound},
        {"POST /metrics HTTP/1.1\r\n\r\n", ScrapeRoute::BadRequest},
        {"get /metrics HTTP/1.1\r\n\r\n", ScrapeRoute::BadRequest},
        {"GET /metrics HTTP/2.0\r\n\r\n", ScrapeRoute::BadRequest},
        {"GET  /metrics HTTP/1.1\r\n\r\n", ScrapeRoute::BadRequest},
        {"GET metrics HTTP/1.1\r\n\r\n", ScrapeRoute::BadRequest},
        {"GET /met\x01rics HTTP/1.1\r\n\r\n", ScrapeRoute::BadRequest},
        {"GET /metrics\r\n\r\n", ScrapeRoute::BadRequest},
        {"\r\n\r\n", ScrapeRoute::BadRequest},
        {std::string("\x16\x03\x01\x02\x00\n\n", 7), ScrapeRoute::BadRequest},
        {"", ScrapeRoute::Incomplete},
        {"GET /metrics HTTP/1.1\r\nHost: h\r\n", ScrapeRoute::Incomplete},
        // Bounded: junk that never ends the head, or a head that ends too late.
        {std::string(kScrapeHeadLimitBytes - 1, 'x'), ScrapeRoute::Incomplete},
        {std::string(kScrapeHeadLimitBytes, 'x'), ScrapeRoute::BadRequest},
        {"GET /metrics HTTP/1.1\r\nX: " + std::string(kScrapeHeadLimitBytes, 'x') + "\r\n\r\n",
         ScrapeRoute::BadRequest},
    };
    for (const auto& one : cases) {
        EXPECT_EQ(routeOf(one.received), one.route) << one.received.substr(0, 40);
    }
}

TEST(ScrapeRequest, EveryAnswerHasItsLengthAndClosesTheConnection) {
    EXPECT_EQ(scrapeAnswer(ScrapeRoute::Metrics, "a 1\n"),
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
              "Content-Length: 4\r\nConnection: close\r\n\r\na 1\n");
    EXPECT_EQ(scrapeAnswer(ScrapeRoute::NotFound, "ignored"),
              "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain; charset=utf-8\r\n"
              "Content-Length: 32\r\nConnection: close\r\n\r\nvelkor serves GET /metrics only\n");
}

}  // namespace
