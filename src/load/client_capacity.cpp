#include "load/client_capacity.h"

#include <string>

#include "config/messages.h"
#include "config/client_share.h"
#include "platform/net/socket_limit.h"

bool clientCountFits(const TestConfig& config) {
    const std::int64_t clients = localClientCount(config);
    const std::int64_t limit = maxOpenSockets(config.sourceBinds.size());
    if (clients <= limit) return true;
    writeErrorLine(std::string(kTooManyClientsPrefix) + std::to_string(clients) +
                   std::string(kTooManyClientsMiddle) + std::to_string(limit) +
                   std::string(kTooManyClientsAdvice));
    return false;
}
