// The target's host as Schannel and CryptoAPI take it: a name in UTF-16, or
// an IPv4 or IPv6 address, which is never sent as SNI.
#include <string>

#include "platform/tls/schannel_windows.h"

std::wstring widenHost(std::string_view host) {
    if (host.empty()) return {};
    const int length = static_cast<int>(host.size());
    const int wide = MultiByteToWideChar(CP_UTF8, 0, host.data(), length, nullptr, 0);
    std::wstring result(static_cast<std::size_t>(wide > 0 ? wide : 0), L'\0');
    if (wide > 0) MultiByteToWideChar(CP_UTF8, 0, host.data(), length, result.data(), wide);
    return result;
}

bool parseAddressHost(std::string_view host, std::string& addressBytes) {
    const std::string address(host.substr(0, host.find('%')));
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1) {
        addressBytes.assign(reinterpret_cast<const char*>(&v4), sizeof(v4));
    } else if (inet_pton(AF_INET6, address.c_str(), &v6) == 1) {
        addressBytes.assign(reinterpret_cast<const char*>(&v6), sizeof(v6));
    } else {
        return false;
    }
    return true;
}
