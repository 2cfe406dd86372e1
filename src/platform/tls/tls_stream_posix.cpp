// TLS with OpenSSL 3 over the client's non-blocking socket. OpenSSL reads and
// writes the socket itself; every "would block" it reports becomes one
// bounded waitForSocket, so a handshake or exchange parks only its fiber.
#include "platform/tls/tls_stream.h"

#include <fstream>
#include <iterator>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "platform/os/clock.h"
#include "platform/os/file_system.h"
#include "platform/credentials/openssl_client_certificate_posix.h"
#include "platform/net/socket_address.h"

struct TlsContext {
    SSL_CTX* ssl;                   // the run's settings, shared read-only by every connection
    X509_STORE* caStore = nullptr;  // the --ca certificates alone, each trusted as it is;
                                    // null without --ca
};

struct TlsSession {
    SSL_SESSION* stored = nullptr;  // the server's last session for this client; null: none yet
};

struct TlsStream {
    SSL* ssl;                       // the connection's TLS state
    SOCKET socket;                  // the connected socket under it; owned by the caller
    bool failed = false;            // a fatal error happened: no close_notify, nothing resumable
    bool lastTryTaken = false;      // the current call's one try after the give-up instant is spent
    TlsSession* session = nullptr;  // the client's session to refresh; may be null
    bool certificateRequested = false;  // the server asked for a client certificate
    int peerAlert = -1;                 // the fatal alert the server ended with; -1: none
};

namespace {

constexpr unsigned char kAlpnHttp11[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};

// A TLS 1.3 server sends its tickets after the handshake, so sessions are
// taken when OpenSSL announces them, not at the handshake's end.
int storeNewSession(SSL* ssl, SSL_SESSION* session) {
    TlsSession* holder = static_cast<TlsStream*>(SSL_get_app_data(ssl))->session;
    if (holder == nullptr) return 0;
    if (holder->stored != nullptr) SSL_SESSION_free(holder->stored);
    holder->stored = session;
    return 1;  // the reference is now the holder's
}

// Called as the server's CertificateRequest is taken: whatever the server does
// next may be about the client's certificate.
int noteCertificateRequest(SSL* ssl, void*) {
    static_cast<TlsStream*>(SSL_get_app_data(ssl))->certificateRequested = true;
    return 1;
}

// The --ca file is read whole first, so a missing file and one without
// certificates are told apart for the user. Any of its certificates may end
// a chain, even one that is no root: a test server's own certificate, or an
// intermediate whose root is not at hand.
TlsContextError loadCaFile(X509_STORE* store, const std::string& path) {
    std::string pem;
    if (isDirectory(path) || !readWholeFile(path, pem)) return TlsContextError::CaFileUnreadable;
    BIO* source = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    STACK_OF(X509_INFO)* entries = PEM_X509_INFO_read_bio(source, nullptr, nullptr, nullptr);
    BIO_free(source);
    int added = 0;
    for (int at = 0; entries != nullptr && at < sk_X509_INFO_num(entries); ++at) {
        X509* certificate = sk_X509_INFO_value(entries, at)->x509;
        if (certificate != nullptr && X509_STORE_add_cert(store, certificate) == 1) ++added;
    }
    sk_X509_INFO_pop_free(entries, X509_INFO_free);
    ERR_clear_error();
    X509_STORE_set_flags(store, X509_V_FLAG_PARTIAL_CHAIN);
    return added > 0 ? TlsContextError::None : TlsContextError::CaFileHasNoCertificate;
}

TlsOpenResult verificationResult(long verifyResult) {
    switch (verifyResult) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return TlsOpenResult::Expired;
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_CERT_UNTRUSTED:
            return TlsOpenResult::UntrustedRoot;
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            return TlsOpenResult::NameMismatch;
        default:
            return TlsOpenResult::VerifyFailed;
    }
}

// The system's store first, where only a root ends a chain; a chain it does
// not trust is built again on the --ca certificates alone, whose answer is
// then the one given. The second build takes the first one's settings (the
// host to match, the purpose), and its outcome replaces the first one's.
int verifyOnSystemThenCa(X509_STORE_CTX* verification, void* caStore) {
    const int verified = X509_verify_cert(verification);
    if (verified == 1 || verificationResult(X509_STORE_CTX_get_error(verification)) !=
                             TlsOpenResult::UntrustedRoot) {
        return verified;
    }
    ERR_clear_error();  // the first build's failure is not the handshake's
    X509_STORE_CTX* again = X509_STORE_CTX_new();
    int result = -1;
    if (again != nullptr &&
        X509_STORE_CTX_init(again, static_cast<X509_STORE*>(caStore),
                            X509_STORE_CTX_get0_cert(verification),
                            X509_STORE_CTX_get0_untrusted(verification)) == 1 &&
        X509_VERIFY_PARAM_set1(X509_STORE_CTX_get0_param(again),
                               X509_STORE_CTX_get0_param(verification)) == 1) {
        X509_VERIFY_PARAM_set_flags(X509_STORE_CTX_get0_param(again), X509_V_FLAG_PARTIAL_CHAIN);
        result = X509_verify_cert(again);
        X509_STORE_CTX_set_error(verification, X509_STORE_CTX_get_error(again));
        X509_STORE_CTX_set0_verified_chain(verification, X509_STORE_CTX_get1_chain(again));
    }
    X509_STORE_CTX_free(again);
    return result;
}

// What a server that asked for a client certificate meant by ending the
// handshake with alertCode: Failed when it sent no alert or never asked.
TlsOpenResult clientCertificateVerdict(bool requested, int alertCode, bool certificateGiven) {
    if (!requested || alertCode < 0) return TlsOpenResult::Failed;
    if (!certificateGiven) return TlsOpenResult::ClientCertificateMissing;
    switch (alertCode) {
        case SSL_AD_UNKNOWN_CA:
            return TlsOpenResult::ClientCertificateUntrusted;
        case SSL_AD_CERTIFICATE_EXPIRED:
            return TlsOpenResult::ClientCertificateExpired;
        default:
            return TlsOpenResult::ClientCertificateRefused;
    }
}

// The certificate must name the host: an address (IPv4, or IPv6 whose zone
// is this machine's business alone) is matched against the certificate's IP
// entries, a name against its DNS entries; only a name is sent as SNI.
bool nameTheHost(SSL* ssl, const std::string& host, bool verifyPeer) {
    const std::string address = host.substr(0, host.find('%'));
    SocketAddress parsed;
    const bool isAddress = readNumericAddress(address, parsed);
    if (!isAddress && SSL_set_tlsext_host_name(ssl, host.c_str()) != 1) return false;
    if (!verifyPeer) return true;
    if (isAddress) return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), address.c_str()) == 1;
    return SSL_set1_host(ssl, host.c_str()) == 1;
}

// Waits for the direction OpenSSL asked for. Past giveUpNs one more try is
// granted without a wait, then none: false means give up.
bool awaitSocket(TlsStream& stream, int sslError, std::int64_t giveUpNs) {
    if (sslError != SSL_ERROR_WANT_READ && sslError != SSL_ERROR_WANT_WRITE) return false;
    const SocketWait direction =
        sslError == SSL_ERROR_WANT_READ ? SocketWait::Readable : SocketWait::Writable;
    for (;;) {
        const std::int64_t nowNs = monotonicNowNs();
        if (nowNs >= giveUpNs) {
            if (stream.lastTryTaken) return false;
            stream.lastTryTaken = true;
            return true;
        }
        const std::int64_t leftMs = (giveUpNs - nowNs + kNsPerMs - 1) / kNsPerMs;
        const int waitMs = leftMs > 1'000'000'000 ? 1'000'000'000 : static_cast<int>(leftMs);
        const WaitResult result = waitForSocket(stream.socket, direction, waitMs);
        if (result == WaitResult::Ready) return true;
        if (result == WaitResult::Failed) return false;
    }
}

// The error of the last OpenSSL call; a fatal one marks the stream failed.
// The thread's error queue, which SSL_get_error reads, is emptied after each
// failure rather than before each call: it is shared by every fiber on the
// thread, and none may switch away with errors left in it.
int lastError(TlsStream& stream, int returned) {
    const int error = SSL_get_error(stream.ssl, returned);
    if (error == SSL_ERROR_SYSCALL || error == SSL_ERROR_SSL) {
        if (error == SSL_ERROR_SSL && stream.peerAlert < 0) stream.peerAlert = receivedAlert();
        stream.failed = true;
        ERR_clear_error();
    }
    return error;
}

// What every connection of the run shares, whatever the verification.
bool applyConnectionSettings(SSL_CTX* ssl) {
    SSL_CTX_set_min_proto_version(ssl, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(ssl, TLS1_3_VERSION);
    // Buffers are given back between exchanges (16 KiB each way per idle
    // connection otherwise); a read takes all the socket holds, not one
    // record header at a time; a send may be partial, like send().
    SSL_CTX_set_mode(ssl, SSL_MODE_RELEASE_BUFFERS | SSL_MODE_ENABLE_PARTIAL_WRITE |
                              SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_read_ahead(ssl, 1);
    // Many servers end a connection without close_notify; the framer
    // decides whether the response was whole.
    SSL_CTX_set_options(ssl, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
    // Each client keeps its own session; the context's shared cache, its lock
    // and its periodic flush would only be contended by every thread.
    SSL_CTX_set_session_cache_mode(ssl, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE |
                                            SSL_SESS_CACHE_NO_AUTO_CLEAR);
    SSL_CTX_sess_set_new_cb(ssl, storeNewSession);
    SSL_CTX_set_cert_cb(ssl, noteCertificateRequest, nullptr);
    return SSL_CTX_set_alpn_protos(ssl, kAlpnHttp11, sizeof(kAlpnHttp11)) == 0;
}

// The --ca store; with verification, chains the system's store does not
// trust are built again on it.
TlsContextError addCaStore(TlsContext& context, const std::string& path, bool verifyPeer) {
    context.caStore = X509_STORE_new();
    if (context.caStore == nullptr) return TlsContextError::TlsUnavailable;
    const TlsContextError error = loadCaFile(context.caStore, path);
    if (error == TlsContextError::None && verifyPeer) {
        SSL_CTX_set_cert_verify_callback(context.ssl, verifyOnSystemThenCa, context.caStore);
    }
    return error;
}

}  // namespace

TlsContext* createTlsContext(const TlsSettings& settings, TlsContextError& error) {
    error = TlsContextError::TlsUnavailable;
    SSL_CTX* ssl = SSL_CTX_new(TLS_client_method());
    if (ssl == nullptr) return nullptr;
    auto* context = new TlsContext{ssl};
    if (!applyConnectionSettings(ssl) ||
        (settings.verifyPeer && SSL_CTX_set_default_verify_paths(ssl) != 1)) {
        freeTlsContext(context);
        return nullptr;
    }
    SSL_CTX_set_verify(ssl, settings.verifyPeer ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
    error = settings.caFile.empty() ? TlsContextError::None
                                    : addCaStore(*context, settings.caFile, settings.verifyPeer);
    if (error == TlsContextError::None) error = useClientCertificate(ssl, settings);
    if (error != TlsContextError::None) {
        freeTlsContext(context);
        return nullptr;
    }
    return context;
}

void freeTlsContext(TlsContext* context) {
    if (context == nullptr) return;
    SSL_CTX_free(context->ssl);
    X509_STORE_free(context->caStore);
    delete context;
}

TlsSession* createTlsSession() {
    return new TlsSession{};
}

void freeTlsSession(TlsSession* session) {
    if (session == nullptr) return;
    if (session->stored != nullptr) SSL_SESSION_free(session->stored);
    delete session;
}

TlsStream* openTlsStream(const TlsContext& context, SOCKET socket, std::string_view host,
                         TlsSession* session, std::int64_t giveUpNs, TlsOpenResult& result) {
    result = TlsOpenResult::Failed;
    SSL* ssl = SSL_new(context.ssl);
    if (ssl == nullptr) {
        ERR_clear_error();
        return nullptr;
    }
    auto* stream = new TlsStream{ssl, socket};
    stream->session = session;
    const bool verifyPeer = SSL_CTX_get_verify_mode(context.ssl) != SSL_VERIFY_NONE;
    SSL_set_app_data(ssl, stream);
    if (SSL_set_fd(ssl, socket) != 1 || !nameTheHost(ssl, std::string(host), verifyPeer) ||
        (session != nullptr && session->stored != nullptr &&
         SSL_set_session(ssl, session->stored) != 1)) {
        stream->failed = true;
        freeTlsStream(stream);
        return nullptr;
    }
    for (;;) {
        const int returned = SSL_connect(ssl);
        if (returned == 1) {
            result = TlsOpenResult::Open;
            return stream;
        }
        // A handshake step costs real CPU (a key exchange, a signature to
        // check): past the give-up instant none is begun, however late the
        // fiber woke, or thousands left at a run's end would stretch it.
        if (!awaitSocket(*stream, lastError(*stream, returned), giveUpNs) ||
            monotonicNowNs() >= giveUpNs) {
            break;
        }
    }
    const long verifyResult = SSL_get_verify_result(ssl);
    if (verifyPeer && verifyResult != X509_V_OK) {
        result = verificationResult(verifyResult);
    } else {
        result = tlsLateRefusal(*stream);
        if (result == TlsOpenResult::Open) result = TlsOpenResult::Failed;
    }
    stream->failed = true;
    freeTlsStream(stream);
    return nullptr;
}

bool tlsSessionResumed(const TlsStream& stream) {
    return SSL_session_reused(stream.ssl) == 1;
}

TlsOpenResult tlsLateRefusal(const TlsStream& stream) {
    const bool certificateGiven = SSL_CTX_get0_certificate(SSL_get_SSL_CTX(stream.ssl)) != nullptr;
    const TlsOpenResult verdict =
        clientCertificateVerdict(stream.certificateRequested, stream.peerAlert, certificateGiven);
    return verdict == TlsOpenResult::Failed ? TlsOpenResult::Open : verdict;
}

bool tlsSendAll(TlsStream& stream, const char* data, std::size_t bytes, std::int64_t giveUpNs) {
    stream.lastTryTaken = false;
    while (bytes > 0) {
        std::size_t written = 0;
        const int returned = SSL_write_ex(stream.ssl, data, bytes, &written);
        if (returned == 1) {
            data += written;
            bytes -= written;
        } else if (!awaitSocket(stream, lastError(stream, returned), giveUpNs)) {
            stream.failed = true;
            return false;
        }
    }
    return true;
}

long tlsReceive(TlsStream& stream, char* buffer, std::size_t capacity, std::int64_t giveUpNs) {
    stream.lastTryTaken = false;
    for (;;) {
        std::size_t received = 0;
        const int returned = SSL_read_ex(stream.ssl, buffer, capacity, &received);
        if (returned == 1) {
            // SSL_MODE_RELEASE_BUFFERS misses the read buffer of a TLS 1.3
            // read that also took the server's session tickets: 16 KiB kept
            // for every idle connection. It is given back here only once the
            // stream holds nothing more: a small read leaves the rest of a
            // record in it, and OpenSSL 3.0.0 to 3.0.13 free the buffer even
            // then and read the freed bytes on the next call.
            if (SSL_has_pending(stream.ssl) == 0) SSL_free_buffers(stream.ssl);
            return static_cast<long>(received);
        }
        const int error = lastError(stream, returned);
        if (error == SSL_ERROR_ZERO_RETURN) return 0;
        if (!awaitSocket(stream, error, giveUpNs)) {
            stream.failed = true;
            return -1;
        }
    }
}

bool tlsHoldsReceivedBytes(const TlsStream& stream) {
    return SSL_has_pending(stream.ssl) == 1;
}

bool tlsClosedWhileIdle(TlsStream& stream) {
    char firstByte = 0;
    std::size_t peeked = 0;
    const int returned = SSL_peek_ex(stream.ssl, &firstByte, 1, &peeked);
    if (returned == 1) return true;
    const int error = lastError(stream, returned);
    return error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE;
}

void freeTlsStream(TlsStream* stream) {
    if (stream == nullptr) return;
    // A stream freed without a shutdown would take its session out of
    // resumption; a sound one says close_notify once, without waiting.
    if (!stream->failed && SSL_is_init_finished(stream->ssl)) {
        ERR_clear_error();
        if (SSL_shutdown(stream->ssl) < 0) SSL_set_shutdown(stream->ssl, SSL_SENT_SHUTDOWN);
    }
    ERR_clear_error();
    SSL_free(stream->ssl);
    delete stream;
}
