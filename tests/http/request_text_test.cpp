#include "http/request_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct RequestCase {
    const char* name;                      // what the command line sets
    std::string method;                    // --method
    std::vector<std::string> headerLines;  // --header, in order
    bool bodyFile;                         // whether --body-file is given
    std::string body;                      // its contents
    std::string expected;                  // every byte of the request
};

TEST(RequestText, PutsEveryPieceInItsPlace) {
    const RequestCase cases[] = {
        {"no options",
         "GET",
         {},
         false,
         "",
         "GET /a?b=1 HTTP/1.1\r\nHost: example.test\r\nConnection: keep-alive\r\n\r\n"},
        {"method, three headers, body",
         "POST",
         {"Content-Type: application/json", "Authorization: Bearer x", "X-Trace:1"},
         true,
         "{\"k\":\r\n0}",
         "POST /a?b=1 HTTP/1.1\r\nHost: example.test\r\nConnection: keep-alive\r\n"
         "Content-Type: application/json\r\nAuthorization: Bearer x\r\nX-Trace:1\r\n"
         "Content-Length: 9\r\n\r\n{\"k\":\r\n0}"},
        {"Host replaced in its place",
         "GET",
         {"X-A: 1", "hOsT: other:8080", "X-B:\t2"},
         false,
         "",
         "GET /a?b=1 HTTP/1.1\r\nhOsT: other:8080\r\nConnection: keep-alive\r\nX-A: 1\r\n"
         "X-B:\t2\r\n\r\n"},
        {"empty body file",
         "PUT",
         {},
         true,
         "",
         "PUT /a?b=1 HTTP/1.1\r\nHost: example.test\r\nConnection: keep-alive\r\n"
         "Content-Length: 0\r\n\r\n"},
        {"POST without a body file announces an empty body",
         "POST",
         {},
         false,
         "",
         "POST /a?b=1 HTTP/1.1\r\nHost: example.test\r\nConnection: keep-alive\r\n"
         "Content-Length: 0\r\n\r\n"},
        {"PATCH too, after the headers",
         "PATCH",
         {"X-A: 1"},
         false,
         "",
         "PATCH /a?b=1 HTTP/1.1\r\nHost: example.test\r\nConnection: keep-alive\r\n"
         "X-A: 1\r\nContent-Length: 0\r\n\r\n"},
        {"PUT without a body file as well",
         "PUT",
         {},
         false,
         "",
         "PUT /a?b=1 HTTP/1.1\r\nHost: example.test\r\nConnection: keep-alive\r\n"
         "Content-Length: 0\r\n\r\n"},
        {"a method in another case is another method",
         "post",
         {},
         false,
         "",
         "post /a?b=1 HTTP/1.1\r\nHost: example.test\r\nConnection: keep-alive\r\n\r\n"},
        {"DELETE without a body file has no length",
         "DELETE",
         {},
         false,
         "",
         "DELETE /a?b=1 HTTP/1.1\r\nHost: example.test\r\nConnection: keep-alive\r\n\r\n"},
        {"a Host-like name is no Host",
         "HEAD",
         {"Hostname: h"},
         false,
         "",
         "HEAD /a?b=1 HTTP/1.1\r\nHost: example.test\r\nConnection: keep-alive\r\n"
         "Hostname: h\r\n\r\n"},
    };
    for (const RequestCase& c : cases) {
        TestConfig config;
        config.host = "example.test";
        config.path = "/a?b=1";
        config.port = 8080;
        config.method = c.method;
        config.headerLines = c.headerLines;
        config.bodyPath = c.bodyFile ? "body" : "";
        EXPECT_EQ(buildRequestText(config, c.body), c.expected) << c.name;
        EXPECT_EQ(requestIsHead(c.expected), c.method == "HEAD") << c.name;
    }
}

// The Host line names an IPv6 address as the URL did, in brackets, but
// without the zone, which only this machine understands.
TEST(RequestText, HostLineBracketsAnIpv6AddressAndDropsItsZone) {
    const std::pair<const char*, const char*> cases[] = {
        {"::1", "Host: [::1]\r\n"},
        {"fe80::1%eth0", "Host: [fe80::1]\r\n"},
        {"::ffff:10.0.0.1", "Host: [::ffff:10.0.0.1]\r\n"},
        {"10.0.0.1", "Host: 10.0.0.1\r\n"},
        {"", "Host: \r\n"},
    };
    for (const auto& [host, line] : cases) {
        const TestConfig config{.url = "", .host = host, .path = "/"};
        EXPECT_NE(buildRequestText(config).find(line), std::string::npos) << host;
    }
}

}  // namespace
