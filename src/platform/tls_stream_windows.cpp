// TLS on Windows: until the Schannel implementation is in, no context can be
// made, so an https:// URL is refused before the run with a clear message.
#include "platform/tls_stream.h"

TlsContext* createTlsContext(const TlsSettings&, TlsContextError& error) {
    error = TlsContextError::TlsUnavailable;
    return nullptr;
}

void freeTlsContext(TlsContext*) {}

TlsSession* createTlsSession() {
    return nullptr;
}

void freeTlsSession(TlsSession*) {}

TlsStream* openTlsStream(const TlsContext&, SOCKET, std::string_view, TlsSession*, std::int64_t,
                         TlsOpenResult& result) {
    result = TlsOpenResult::Failed;
    return nullptr;
}

bool tlsSessionResumed(const TlsStream&) {
    return false;
}

bool tlsSendAll(TlsStream&, const char*, std::size_t, std::int64_t) {
    return false;
}

long tlsReceive(TlsStream&, char*, std::size_t, std::int64_t) {
    return -1;
}

bool tlsHoldsReceivedBytes(const TlsStream&) {
    return false;
}

bool tlsClosedWhileIdle(TlsStream&) {
    return true;
}

void freeTlsStream(TlsStream*) {}
