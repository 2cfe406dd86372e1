#include "metrics/metrics_option.h"

#include <string>

namespace {

// Digits only, at most maxDigits of them, and at least one.
bool readDigits(std::string_view text, std::size_t maxDigits, std::int32_t& value) {
    if (text.empty() || text.size() > maxDigits) return false;
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

}  // namespace

bool readMetricsAddress(std::string_view text, TestConfig& config) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return false;
    std::int32_t port = 0;
    if (!readDigits(text.substr(colon + 1), 5, port) || port < 1 || port > 65535) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const std::string host(text.substr(0, colon));
    if (host.empty()) {
        address.sin_addr.s_addr = htonl(INADDR_ANY);
    } else if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        return false;
    }
    config.metricsAddress = std::string(text);
    config.metricsBind = address;
    return true;
}

bool readMetricsLinger(std::string_view text, TestConfig& config) {
    return readDigits(text, 4, config.metricsLingerSec) &&
           config.metricsLingerSec <= kLongestMetricsLingerSec;
}
