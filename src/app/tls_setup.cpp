#include "app/tls_setup.h"

#include <string>

#include "config/messages.h"
#include "platform/tls/tls_stream.h"

bool prepareTls(TestConfig& config) {
    if (!config.useTls) return true;
    TlsContextError error = TlsContextError::None;
    config.tlsContext = createTlsContext(TlsSettings{config.verifyPeer, config.caFile}, error);
    if (config.tlsContext != nullptr) return true;
    const std::string badCaFile = std::string(kOptionPrefix) + "--ca" +
                                  std::string(kOptionBadValue) + quotePath(config.caFile);
    switch (error) {
        case TlsContextError::CaFileUnreadable:
            writeErrorLine(badCaFile + std::string(kCaFileUnreadable));
            break;
        case TlsContextError::CaFileHasNoCertificate:
            writeErrorLine(badCaFile + std::string(kCaFileNoCertificate));
            break;
        default:
            writeErrorLine(kTlsUnavailable);
            break;
    }
    return false;
}

void releaseTls(TestConfig& config) {
    freeTlsContext(config.tlsContext);
    config.tlsContext = nullptr;
}
