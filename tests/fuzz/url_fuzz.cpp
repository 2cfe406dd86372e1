// Splits arbitrary bytes as the target URL and checks what every accepted URL
// must give: the host, the port text and the path put back together are the
// bytes after the first "http://" (a bracketed IPv6 host, its zone included,
// is the literal inside); a refusal writes exactly one line and
// leaves the record alone. The quoting used in messages must make any text
// safe for a terminal and short.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>

#include "config/messages.h"
#include "app/url.h"

namespace {

void require(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "URL property broken: %s\n", what);
    std::abort();
}

// 64 shown bytes of at most four characters each, two quotes and "...".
constexpr std::size_t kLongestQuoteBytes = 64 * 4 + 2 + 3;

void checkQuote(std::string_view text) {
    const std::string quoted = quoteForMessage(text);
    require(quoted.size() <= kLongestQuoteBytes, "quote too long");
    require(quoted.size() >= 2 && quoted.front() == '"' && quoted.back() == '"', "not quoted");
    for (std::size_t i = 1; i + 1 < quoted.size(); ++i) {
        const auto byte = static_cast<unsigned char>(quoted[i]);
        require(byte >= 0x20 && byte != 0x7F && byte != '"', "unsafe byte in a quote");
    }
}

// A host part in brackets: the host is the IPv6 address inside, its zone
// (after "%25" in the URL) after a bare "%"; only a port may follow the "]".
void checkBracketedHost(std::string_view hostPart, const TestConfig& config, bool tls) {
    const std::size_t closeAt = hostPart.find(']');
    require(closeAt != std::string_view::npos, "[ accepted without ]");
    std::string inside(hostPart.substr(1, closeAt - 1));
    const std::size_t zoneAt = inside.find("%25");
    if (zoneAt != std::string::npos) inside.replace(zoneAt, 3, "%");
    require(config.host == inside, "host is not the literal inside the brackets");
    require(config.host.find_first_of("/[]") == std::string::npos, "host holds / or brackets");
    const std::string address = config.host.substr(0, config.host.find('%'));
    in6_addr parsed{};
    require(inet_pton(AF_INET6, address.c_str(), &parsed) == 1, "host is no IPv6 address");
    const std::string_view after = hostPart.substr(closeAt + 1);
    require(after.empty() || after.front() == ':', "something other than a port after ]");
    require(!after.empty() || config.port == (tls ? 443 : 80),
            "no port text but not the scheme's port");
}

// Any other host part: the host runs to its first ":", a port after it.
void checkPlainHost(std::string_view hostPart, const TestConfig& config, bool tls) {
    require(config.host.find_first_of(":/") == std::string::npos, "host holds : or /");
    require(hostPart.starts_with(config.host), "host is not the start of the rest");
    require(hostPart.size() == config.host.size() || hostPart[config.host.size()] == ':',
            "host ends elsewhere than the first : or /");
    require(hostPart.size() > config.host.size() || config.port == (tls ? 443 : 80),
            "no port text but not the scheme's port");
}

void checkAccepted(std::string_view url, const TestConfig& config, const std::string& written) {
    require(written.empty(), "accepted URL wrote a message");
    // The scheme that comes first is the URL's; a later one belongs to the path.
    const std::size_t httpAt = url.find("http://");
    const std::size_t httpsAt = url.find("https://");
    require(httpAt != std::string_view::npos || httpsAt != std::string_view::npos,
            "accepted without http:// or https://");
    const bool tls = httpsAt < httpAt;
    require(config.useTls == tls, "TLS chosen by another scheme than the first");
    const std::string_view rest = tls ? url.substr(httpsAt + 8) : url.substr(httpAt + 7);
    require(!config.path.empty() && config.path.front() == '/', "path without leading /");
    const std::size_t slashAt = rest.find('/');
    const std::string_view hostPart = rest.substr(0, slashAt);
    require(slashAt == std::string_view::npos ? config.path == "/"
                                              : config.path == rest.substr(slashAt),
            "path is not the rest from its first /");
    require(config.port != 0, "port 0 accepted");
    if (hostPart.starts_with('[')) {
        checkBracketedHost(hostPart, config, tls);
    } else {
        checkPlainHost(hostPart, config, tls);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t sizeBytes) {
    // The messages go to std::cerr; they are caught here to be checked, and
    // so that libFuzzer's own output stays readable.
    static std::ostringstream written;
    static std::streambuf* const original = std::cerr.rdbuf(written.rdbuf());
    (void)original;
    written.str("");

    const std::string_view url(reinterpret_cast<const char*>(bytes), sizeBytes);
    TestConfig config;
    config.host = "unchanged-host";
    config.path = "unchanged-path";
    config.port = 4321;
    if (parseUrl(url, config)) {
        checkAccepted(url, config, written.str());
    } else {
        const std::string message = written.str();
        require(!message.empty() && message.find('\n') == message.size() - 1,
                "refusal is not exactly one line");
        require(config.host == "unchanged-host" && config.path == "unchanged-path" &&
                    config.port == 4321,
                "refusal changed the record");
    }
    checkQuote(url);
    return 0;
}
