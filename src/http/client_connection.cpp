#include "http/client_connection.h"

#include <atomic>
#include <string>

#include "config/messages.h"
#include "platform/os/clock.h"
#include "http/idle_close.h"
#include "stats/run_stats.h"

namespace {

// One line per run however many connects are refused: with thousands of
// clients a line each would bury the progress lines.
std::atomic<bool> g_certificateReported{false};

std::string_view certificateReason(TlsOpenResult result) {
    switch (result) {
        case TlsOpenResult::Expired:
            return kCertificateExpired;
        case TlsOpenResult::UntrustedRoot:
            return kCertificateUntrusted;
        case TlsOpenResult::NameMismatch:
            return kCertificateNameMismatch;
        default:
            return kCertificateInvalid;
    }
}

// The server's refusal of the client's certificate, or of its absence.
std::string clientCertificateLine(TlsOpenResult result) {
    switch (result) {
        case TlsOpenResult::ClientCertificateMissing:
            return std::string(kClientCertificateMissing);
        case TlsOpenResult::ClientCertificateUntrusted:
            return std::string(kClientCertificateRefused) +
                   std::string(kClientCertificateUntrusted);
        case TlsOpenResult::ClientCertificateExpired:
            return std::string(kClientCertificateRefused) + std::string(kCertificateExpired);
        default:
            return std::string(kClientCertificateRefused) + std::string(kClientCertificateOther);
    }
}

bool refusesClientCertificate(TlsOpenResult result) {
    return result == TlsOpenResult::ClientCertificateMissing ||
           result == TlsOpenResult::ClientCertificateUntrusted ||
           result == TlsOpenResult::ClientCertificateExpired ||
           result == TlsOpenResult::ClientCertificateRefused;
}

}  // namespace

void reportRefusedCertificate(TlsOpenResult result) {
    if (result == TlsOpenResult::Open || result == TlsOpenResult::Failed) return;
    if (g_certificateReported.exchange(true)) return;
    if (refusesClientCertificate(result)) {
        writeErrorLine(clientCertificateLine(result));
        return;
    }
    writeErrorLine(std::string(kCertificateRefused) + std::string(certificateReason(result)) +
                   std::string(kCertificateHint));
}

ClientConnection openClientConnection(const TestConfig& config, std::int64_t giveUpNs,
                                      std::int32_t localClientIndex, TlsSession* session,
                                      std::int64_t quietAfterNs, bool reopen) {
    ClientConnection connection;
    const std::int64_t connectStartNs = monotonicNowNs();
    connection.socket = config.createConnection(giveUpNs, localClientIndex);
    if (connection.socket == INVALID_SOCKET) return connection;
    const std::int64_t connectedNs = monotonicNowNs();
    if (config.tlsContext == nullptr) {
        recordConnectionOpened(connectedNs - connectStartNs, -1, reopen);
        connection.counted = true;
        return connection;
    }
    // A resumed TLS 1.2 handshake ends with the client's Finished, and the
    // request follows at once: unsent behind it, waiting for the server's
    // delayed acknowledgement, it would take 40 ms longer.
    const int noDelay = 1;
    setsockopt(connection.socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
               sizeof(noDelay));
    TlsOpenResult result = TlsOpenResult::Failed;
    const std::int64_t handshakeStartNs = monotonicNowNs();
    connection.tls = openTlsStream(*config.tlsContext, connection.socket, config.host, session,
                                   giveUpNs, result);
    if (connection.tls == nullptr) {
        reportRefusedCertificate(result);
        // A failure at or past the give-up instant is the run's end cutting
        // the handshake off, not the server refusing it.
        const bool cutOff = result == TlsOpenResult::Failed && monotonicNowNs() >= giveUpNs;
        if (!cutOff) {
            recordError(ErrorKind::TlsFailed);
        } else if (handshakeStartNs <= quietAfterNs) {
            recordError(ErrorKind::TlsUnfinished);
        }
        closeClientConnection(connection);
        return connection;
    }
    recordConnectionOpened(connectedNs - connectStartNs, monotonicNowNs() - handshakeStartNs,
                           reopen);
    connection.counted = true;
    return connection;
}

void closeClientConnection(ClientConnection& connection) {
    if (connection.counted) recordConnectionClosed();
    connection.counted = false;
    freeTlsStream(connection.tls);
    connection.tls = nullptr;
    if (connection.socket != INVALID_SOCKET) closesocket(connection.socket);
    connection.socket = INVALID_SOCKET;
}

bool connectionClosedWhileIdle(ClientConnection& connection) {
    if (connection.tls != nullptr) return tlsClosedWhileIdle(*connection.tls);
    return closedWhileIdle(connection.socket);
}
