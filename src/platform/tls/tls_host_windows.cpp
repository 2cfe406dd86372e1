// The target's host as Schannel and CryptoAPI take it: a name in UTF-16, or
// an IPv4 address, which is never sent as SNI.
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

bool parseIpv4Host(std::string_view host, in_addr& address) {
    return inet_pton(AF_INET, std::string(host).c_str(), &address) == 1;
}
