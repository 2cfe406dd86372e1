#include "app/url.h"

#include "app/integer_rule.h"
#include "app/messages.h"

namespace {

// A port must name a real TCP port: 0 and values beyond 16 bits would
// otherwise wrap to a service the user never named.
bool readPort(std::string_view portText, std::uint16_t& port) {
    std::int32_t value = 0;
    if (!readInteger(portText, value) || value < 1 || value > 65535) {
        writeErrorLine(std::string(kBadPortPrefix) + quoteForMessage(portText) +
                       std::string(kBadPortRule));
        return false;
    }
    port = static_cast<std::uint16_t>(value);
    return true;
}

// Host and path go into the request as they are: a line break there would
// end the request line or a header early and make the rest a request of its
// own, and other control bytes are not allowed in a request either.
bool isFreeOfControlBytes(std::string_view hostAndPath) {
    for (const char byte : hostAndPath) {
        const auto value = static_cast<unsigned char>(byte);
        if (value < 0x20 || value == 0x7F) {
            writeErrorLine(std::string(kControlBytePrefix) + quoteForMessage(hostAndPath) +
                           std::string(kControlByteRule));
            return false;
        }
    }
    return true;
}

}  // namespace

bool parseUrl(std::string_view url, TestConfig& config) {
    constexpr std::string_view kHttp = "http://";
    constexpr std::string_view kHttps = "https://";
    // The scheme that comes first is the URL's: a later one is part of its path.
    const std::size_t httpAt = url.find(kHttp);
    const std::size_t httpsAt = url.find(kHttps);
    if (httpAt == std::string_view::npos && httpsAt == std::string_view::npos) {
        writeErrorLine(kOnlyHttpUrls);
        return false;
    }
    const bool useTls = httpsAt < httpAt;
    const std::string_view rest =
        useTls ? url.substr(httpsAt + kHttps.size()) : url.substr(httpAt + kHttp.size());
    const std::size_t slashAt = rest.find('/');
    const std::string_view hostPart = rest.substr(0, slashAt);
    const std::string_view path = slashAt == std::string_view::npos ? "/" : rest.substr(slashAt);

    std::string_view host = hostPart;
    std::uint16_t port = useTls ? 443 : 80;
    const std::size_t colonAt = hostPart.find(':');
    if (colonAt != std::string_view::npos) {
        host = hostPart.substr(0, colonAt);
        if (!readPort(hostPart.substr(colonAt + 1), port)) return false;
    }
    if (!isFreeOfControlBytes(host) || !isFreeOfControlBytes(path)) return false;
    config.path = path;
    config.host = host;
    config.port = port;
    config.useTls = useTls;
    return true;
}
