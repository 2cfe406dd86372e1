#include "app/source_check.h"

#include <string>

#include "config/messages.h"
#include "platform/net/source_bind.h"

namespace {

bool bindsHere(const in_addr& address) {
    const SOCKET probe = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (probe == INVALID_SOCKET) return false;
    const bool bound = bindToSourceAddress(probe, address);
    closesocket(probe);
    return bound;
}

}  // namespace

bool checkSourceAddresses(const TestConfig& config) {
    for (std::size_t at = 0; at < config.sourceBinds.size(); ++at) {
        if (bindsHere(config.sourceBinds[at])) continue;
        writeErrorLine(std::string(kSourceBindFailedPrefix) +
                       quoteForMessage(config.sourceAddresses[at]) +
                       std::string(kSourceBindFailedRule));
        return false;
    }
    return true;
}
