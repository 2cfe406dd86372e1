// The OpenSSL stream against an OpenSSL server in the test, where what the
// stream asks of the library can be watched.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "config/test_config.h"
#include "platform/os/clock.h"
#include "platform/tls/tls_stream.h"
#include "support/loopback.h"

namespace {

std::atomic<int> g_freesWhilePending{0};  // SSL_free_buffers calls with record bytes unread
std::atomic<int> g_freesWhenDrained{0};   // SSL_free_buffers calls with nothing held

}  // namespace

// Stands in for the library's SSL_free_buffers in this program, counts what
// the stream still held at each call, then frees as the library does.
// OpenSSL 3.0.0 to 3.0.13 free a buffer that still holds unread bytes.
extern "C" int SSL_free_buffers(SSL* ssl) {
    using FreeBuffers = int (*)(SSL*);
    static const auto library = reinterpret_cast<FreeBuffers>(dlsym(RTLD_NEXT, "SSL_free_buffers"));
    (SSL_has_pending(ssl) == 1 ? g_freesWhilePending : g_freesWhenDrained).fetch_add(1);
    return library(ssl);
}

namespace {

// A server context with a fresh self-signed certificate; the client does
// not verify it.
SSL_CTX* makeServerContext() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* certificate = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate), 0);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 3600);
    X509_set_pubkey(certificate, key);
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(certificate, name);
    X509_sign(certificate, key, EVP_sha256());
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(context, certificate);
    SSL_CTX_use_PrivateKey(context, key);
    X509_free(certificate);
    EVP_PKEY_free(key);
    return context;
}

// Answers one request with the whole response in one write, which OpenSSL
// sends as full 16 KiB records, then waits for the client to close.
void serveOnce(SSL_CTX* context, SOCKET listener, const std::string& response) {
    const SOCKET accepted = acceptClient(listener);
    SSL* ssl = SSL_new(context);
    SSL_set_fd(ssl, accepted);
    char request[4096];
    if (SSL_accept(ssl) == 1 && SSL_read(ssl, request, sizeof(request)) > 0) {
        SSL_write(ssl, response.data(), static_cast<int>(response.size()));
        SSL_read(ssl, request, sizeof(request));
    }
    SSL_free(ssl);
    closesocket(accepted);
}

// Sends the request and reads the response in 4 KiB pieces; "" when the
// stream failed first.
std::string fetchInPieces(TlsStream& stream, std::size_t responseBytes, std::int64_t giveUpNs) {
    const std::string request = "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n";
    if (!tlsSendAll(stream, request.data(), request.size(), giveUpNs)) return "";
    std::string received;
    char piece[4096];
    while (received.size() < responseBytes) {
        const long bytes = tlsReceive(stream, piece, sizeof(piece), giveUpNs);
        if (bytes <= 0) return "";
        received.append(piece, static_cast<std::size_t>(bytes));
    }
    return received;
}

// A response read in pieces smaller than its records arrives whole, and the
// stream gives its buffers back only when it holds nothing more, on both
// protocol versions.
TEST(TlsStreamOpenSsl, SmallReadsOfLargeRecordsKeepBuffersUntilDrained) {
    std::string response = "HTTP/1.1 200 OK\r\nContent-Length: 65536\r\n\r\n";
    for (int at = 0; at < 65536; ++at) response += static_cast<char>('a' + at * 7 % 26);
    TlsContextError error = TlsContextError::TlsUnavailable;
    TlsContext* context = createTlsContext(TlsSettings{false, ""}, error);
    ASSERT_NE(context, nullptr);
    for (const int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
        SSL_CTX* server = makeServerContext();
        SSL_CTX_set_min_proto_version(server, version);
        SSL_CTX_set_max_proto_version(server, version);
        std::uint16_t port = 0;
        const SOCKET listener = listenOnLoopback(port);
        std::thread peer([&] { serveOnce(server, listener, response); });
        const std::int64_t giveUpNs = monotonicNowNs() + 20 * kNsPerSec;
        const SOCKET client = loopbackTarget(port).createConnection(giveUpNs);
        TlsOpenResult result = TlsOpenResult::Failed;
        TlsStream* stream = openTlsStream(*context, client, "localhost", nullptr, giveUpNs, result);
        EXPECT_EQ(result, TlsOpenResult::Open) << version;
        g_freesWhilePending = 0;
        g_freesWhenDrained = 0;
        if (stream != nullptr) {
            EXPECT_EQ(fetchInPieces(*stream, response.size(), giveUpNs), response) << version;
            EXPECT_EQ(g_freesWhilePending.load(), 0) << version;
            EXPECT_GE(g_freesWhenDrained.load(), 1) << version;
        }
        freeTlsStream(stream);
        closesocket(client);  // ends the server's wait
        peer.join();
        closesocket(listener);
        SSL_CTX_free(server);
    }
    freeTlsContext(context);
}

}  // namespace
