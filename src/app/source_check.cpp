#include "app/source_check.h"

#include <string>

#include "config/messages.h"
#include "platform/net/source_bind.h"

namespace {

bool bindsHere(const SocketAddress& address) {
    const SOCKET probe = ::socket(addressFamily(address), SOCK_STREAM, IPPROTO_TCP);
    if (probe == INVALID_SOCKET) return false;
    const bool bound = bindToSourceAddress(probe, address);
    closesocket(probe);
    return bound;
}

// A socket of one family cannot leave from an address of the other, so a
// source that does not match the target would fail every connect it made.
bool sourceFamilyFits(const TestConfig& config, std::size_t at) {
    if (config.targetAddresses.empty()) return true;
    const int targetFamily = addressFamily(config.targetAddresses.front());
    if (addressFamily(config.sourceBinds[at]) == targetFamily) return true;
    writeErrorLine(std::string(kSourceFamilyPrefix) + quoteForMessage(config.sourceAddresses[at]) +
                   std::string(targetFamily == AF_INET6 ? kSourceNotIpv6 : kSourceNotIpv4));
    return false;
}

}  // namespace

bool checkSourceAddresses(const TestConfig& config) {
    for (std::size_t at = 0; at < config.sourceBinds.size(); ++at) {
        if (!sourceFamilyFits(config, at)) return false;
        if (bindsHere(config.sourceBinds[at])) continue;
        writeErrorLine(std::string(kSourceBindFailedPrefix) +
                       quoteForMessage(config.sourceAddresses[at]) +
                       std::string(kSourceBindFailedRule));
        return false;
    }
    return true;
}
