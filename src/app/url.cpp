#include "app/url.h"

#include "app/integer_rule.h"
#include "config/messages.h"

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

// The zone of a link-local address names an interface ("eth0", or "12" on
// Windows); URL-safe bytes only, so it cannot carry anything into a request.
bool isZoneName(std::string_view zone) {
    if (zone.empty()) return false;
    for (const char c : zone) {
        const bool letterOrDigit =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!letterOrDigit && std::string_view("-._~").find(c) == std::string_view::npos) {
            return false;
        }
    }
    return true;
}

// The inside of "[...]": an IPv6 address, perhaps with a zone written
// "%25eth0" (RFC 6874, the "%" itself percent-encoded). host gets the address
// as the resolver takes it, the zone after a bare "%".
bool readIpv6Literal(std::string_view inside, std::string& host) {
    const std::size_t zoneAt = inside.find("%25");
    const std::string address(inside.substr(0, zoneAt));
    in6_addr parsed{};
    if (inet_pton(AF_INET6, address.c_str(), &parsed) != 1) return false;
    if (zoneAt == std::string_view::npos) {
        host = address;
        return true;
    }
    const std::string_view zone = inside.substr(zoneAt + 3);
    if (!isZoneName(zone)) return false;
    host = address + "%" + std::string(zone);
    return true;
}

// "[literal]" with an optional ":port" after it; nothing else may follow.
bool splitBracketedHost(std::string_view hostPart, std::string& host, std::uint16_t& port) {
    const std::size_t closeAt = hostPart.find(']');
    const std::string_view after =
        closeAt == std::string_view::npos ? "" : hostPart.substr(closeAt + 1);
    // The bracketed part is named when it is wrong, the whole host part when
    // something other than a port follows it.
    const bool literalRead =
        closeAt != std::string_view::npos && readIpv6Literal(hostPart.substr(1, closeAt - 1), host);
    if (!literalRead || (!after.empty() && after.front() != ':')) {
        const std::size_t shownBytes =
            literalRead || closeAt == std::string_view::npos ? hostPart.size() : closeAt + 1;
        writeErrorLine(std::string(kBadIpv6Prefix) +
                       quoteForMessage(hostPart.substr(0, shownBytes)) + std::string(kBadIpv6Rule));
        return false;
    }
    return after.empty() || readPort(after.substr(1), port);
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

    std::string host(hostPart);
    std::uint16_t port = useTls ? 443 : 80;
    const std::size_t colonAt = hostPart.find(':');
    if (hostPart.starts_with('[')) {
        if (!splitBracketedHost(hostPart, host, port)) return false;
    } else if (colonAt != std::string_view::npos) {
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
