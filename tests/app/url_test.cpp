#include "app/url.h"

#include <gtest/gtest.h>

namespace {

struct UrlCase {
    const char* url;   // the URL argument
    const char* host;  // expected host
    int port;          // expected port
    const char* path;  // expected path
};

TEST(ParseUrl, SplitsAcceptedUrls) {
    const UrlCase cases[] = {
        {"http://127.0.0.1:3000", "127.0.0.1", 3000, "/"},
        {"http://10.0.0.7/a/b?x=1", "10.0.0.7", 80, "/a/b?x=1"},
        {"http://h:8080", "h", 8080, "/"},
        {"http://h:8080/x#top", "h", 8080, "/x#top"},
        {"http://h?x=1", "h?x=1", 80, "/"},
        {"http://h:80:90/", "h", 80, "/"},
        {"http://h:80x/", "h", 80, "/"},
        {"http://h:65535/", "h", 65535, "/"},
        {"http://h:1/", "h", 1, "/"},
        {"http://:8080/p", "", 8080, "/p"},
        {"http://", "", 80, "/"},
        {"http:///x", "", 80, "/x"},
        {"xyz http://h/p", "h", 80, "/p"},
        {"http://a/http://b", "a", 80, "/http://b"},
        {"http://h/a:b", "h", 80, "/a:b"},
        {"https://h", "h", 443, "/"},
        {"https://127.0.0.1:8443/p?q", "127.0.0.1", 8443, "/p?q"},
        // The first scheme is the URL's; a later one is only text of its path.
        {"https://a/http://b", "a", 443, "/http://b"},
        {"http://a/https://b", "a", 80, "/https://b"},
        // IPv6 in brackets; the host is the bare address, a zone after a bare "%".
        {"http://[::1]:80/", "::1", 80, "/"},
        {"http://[::1]", "::1", 80, "/"},
        {"https://[2001:db8::7]/x:y", "2001:db8::7", 443, "/x:y"},
        {"http://[::ffff:10.0.0.1]:8080", "::ffff:10.0.0.1", 8080, "/"},
        {"http://[fe80::1%25eth0]:81/p", "fe80::1%eth0", 81, "/p"},
        {"http://[FE80::A%25en0.5_x~y-Z]/", "FE80::A%en0.5_x~y-Z", 80, "/"},
        {"http://[fe80::1%2525]/", "fe80::1%25", 80, "/"},
    };
    for (const UrlCase& c : cases) {
        TestConfig config;
        testing::internal::CaptureStderr();
        EXPECT_TRUE(parseUrl(c.url, config)) << c.url;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << c.url;
        EXPECT_EQ(config.host, c.host) << c.url;
        EXPECT_EQ(config.port, c.port) << c.url;
        EXPECT_EQ(config.path, c.path) << c.url;
        EXPECT_EQ(config.useTls, std::string_view(c.url).rfind("https://", 0) == 0) << c.url;
    }
}

struct RejectedUrl {
    const char* url;      // the URL argument
    std::string message;  // the one line written to standard error
};

const std::string kIpv6Rule = "（须为方括号中的IPv6地址，区域写作 %25，如 [fe80::1%25eth0]）\n";

TEST(ParseUrl, RejectsWithOneMessageAndLeavesTheRecordAlone) {
    const RejectedUrl cases[] = {
        {"ftp://x", "仅支持http协议的URL\n"},
        {"https:/h", "仅支持http协议的URL\n"},
        {"HTTPS://h/", "仅支持http协议的URL\n"},
        {"HTTP://h/", "仅支持http协议的URL\n"},
        {"http:/h", "仅支持http协议的URL\n"},
        {"", "仅支持http协议的URL\n"},
        {"http://h:/", "URL中的端口无效: \"\"（须为1到65535之间的整数）\n"},
        {"http://h:", "URL中的端口无效: \"\"（须为1到65535之间的整数）\n"},
        {"http://h:abc/", "URL中的端口无效: \"abc\"（须为1到65535之间的整数）\n"},
        {"http://h:0/", "URL中的端口无效: \"0\"（须为1到65535之间的整数）\n"},
        {"http://h:65536/", "URL中的端口无效: \"65536\"（须为1到65535之间的整数）\n"},
        {"http://h:65616/", "URL中的端口无效: \"65616\"（须为1到65535之间的整数）\n"},
        {"http://h:-1/", "URL中的端口无效: \"-1\"（须为1到65535之间的整数）\n"},
        {"http://h:99999999999/", "URL中的端口无效: \"99999999999\"（须为1到65535之间的整数）\n"},
        {"http://user:pw@h/", "URL中的端口无效: \"pw@h\"（须为1到65535之间的整数）\n"},
        {"http://[::1]:/", "URL中的端口无效: \"\"（须为1到65535之间的整数）\n"},
        {"http://[::1/", "URL中的IPv6地址无效: \"[::1\"" + kIpv6Rule},
        {"http://[::1]x/", "URL中的IPv6地址无效: \"[::1]x\"" + kIpv6Rule},
        {"http://[]/", "URL中的IPv6地址无效: \"[]\"" + kIpv6Rule},
        {"http://[127.0.0.1]/", "URL中的IPv6地址无效: \"[127.0.0.1]\"" + kIpv6Rule},
        {"http://[v1.x]/", "URL中的IPv6地址无效: \"[v1.x]\"" + kIpv6Rule},
        {"http://[[::1]]/", "URL中的IPv6地址无效: \"[[::1]\"" + kIpv6Rule},
        {"http://[fe80::1%eth0]:8080/", "URL中的IPv6地址无效: \"[fe80::1%eth0]\"" + kIpv6Rule},
        // A zone is written "%25" (RFC 6874), and names an interface only.
        {"http://[fe80::1%25]/", "URL中的IPv6地址无效: \"[fe80::1%25]\"" + kIpv6Rule},
        {"http://[fe80::1%25e\r\nX: y]/",
         "URL中的IPv6地址无效: \"[fe80::1%25e\\x0D\\x0AX: y]\"" + kIpv6Rule},
        {"http://[fe80::1%25a/b]/", "URL中的IPv6地址无效: \"[fe80::1%25a\"" + kIpv6Rule},
        // A line break in the path would smuggle a second request onto the connection.
        {"http://h/a HTTP/1.1\r\nHost: x\r\n\r\nGET /b",
         "URL中含有控制字符: \"/a HTTP/1.1\\x0D\\x0AHost: x\\x0D\\x0A\\x0D\\x0AGET "
         "/b\"（主机名和路径中不能有"
         "控制字符）\n"},
        {"http://h\x01st:81/", "URL中含有控制字符: \"h\\x01st\"（主机名和路径中不能有控制字符）\n"},
        {"http://h/\x7f", "URL中含有控制字符: \"/\\x7F\"（主机名和路径中不能有控制字符）\n"},
    };
    for (const RejectedUrl& c : cases) {
        TestConfig config;
        config.host = "keep";
        config.path = "/keep";
        config.port = 1234;
        testing::internal::CaptureStderr();
        EXPECT_FALSE(parseUrl(c.url, config)) << c.url;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message) << c.url;
        EXPECT_EQ(config.host, "keep");
        EXPECT_EQ(config.path, "/keep");
        EXPECT_EQ(config.port, 1234);
    }
}

TEST(ParseUrl, QuotesHostileBytesSafely) {
    TestConfig config;
    const std::string url = std::string("http://h:\x1b[31m") + std::string(200, 'x');
    testing::internal::CaptureStderr();
    EXPECT_FALSE(parseUrl(url, config));
    const std::string message = testing::internal::GetCapturedStderr();
    EXPECT_EQ(message.find('\x1b'), std::string::npos);
    EXPECT_NE(message.find("\\x1B[31m"), std::string::npos);
    EXPECT_NE(message.find("...\""), std::string::npos);
    EXPECT_LT(message.size(), 160u);
}

}  // namespace
