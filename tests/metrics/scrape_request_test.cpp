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
    const struct {
        ScrapeRoute route;
        std::string statusLine;
    } refusals[] = {{ScrapeRoute::NotFound, "HTTP/1.1 404 Not Found\r\n"},
                    {ScrapeRoute::BadRequest, "HTTP/1.1 400 Bad Request\r\n"}};
    for (const auto& refusal : refusals) {
        const std::string answer = scrapeAnswer(refusal.route, "ignored");
        EXPECT_EQ(answer.rfind(refusal.statusLine, 0), 0u);
        const std::size_t body = answer.find("\r\n\r\n") + 4;
        EXPECT_NE(answer.find("Content-Length: " + std::to_string(answer.size() - body) + "\r\n"),
                  std::string::npos);
        EXPECT_NE(answer.find("Connection: close\r\n"), std::string::npos);
        EXPECT_EQ(answer.find("ignored"), std::string::npos);
    }
}

}  // namespace
