#include "platform/tls/tls_stream.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "config/test_config.h"
#include "platform/os/clock.h"
#include "support/loopback.h"

namespace {

// Any well-formed certificate will do: the file is only loaded, never used.
constexpr const char* kCertificatePem =
    "-----BEGIN CERTIFICATE-----\n"
    "MIIBgTCCASegAwIBAgIUfcwLjfCXPX/5kxwP6nUMHEVSH9YwCgYIKoZIzj0EAwIw\n"
    "FjEUMBIGA1UEAwwLdmVsa29yLXRlc3QwHhcNMjYxMjA3MjMyMTIxWhcNMjYxMjA4\n"
    "MjMyMTIxWjAWMRQwEgYDVQQDDAt2ZWxrb3ItdGVzdDBZMBMGByqGSM49AgEGCCqG\n"
    "SM49AwEHA0IABGd76Cm2J9nUqLxjADnShMu9XeGDiwRsQYxxhsevYIdBbek2uw5k\n"
    "U1bvu9X2MY3kR0sH+ijd1t+9TzLmgtZ2C52jUzBRMB0GA1UdDgQWBBTGHJlhY/PC\n"
    "FzyPfvuAnICB1udSaDAfBgNVHSMEGDAWgBTGHJlhY/PCFzyPfvuAnICB1udSaDAP\n"
    "BgNVHRMBAf8EBTADAQH/MAoGCCqGSM49BAMCA0gAMEUCIQDMFKGYdlx92o7rT2Le\n"
    "Wdwqq0ppoTJJ57JfdqECf99DVAIgfyTmqx/U4aq2gh4tz6TZwT6bBB69jyBYbfMd\n"
    "anr1jmc=\n"
    "-----END CERTIFICATE-----\n";

// The run's context with default settings; null (and the test skipped) on a
// build whose system offers no TLS yet.
TlsContext* defaultContextOrSkip() {
    TlsContextError error = TlsContextError::None;
    return createTlsContext(TlsSettings{}, error);
}

TEST(TlsContext, CaFileIsCheckedBeforeTheRun) {
    TlsContext* probe = defaultContextOrSkip();
    if (probe == nullptr) GTEST_SKIP() << "this build has no TLS";
    freeTlsContext(probe);
    const std::filesystem::path directory =
        std::filesystem::temp_directory_path() / "velkor-tls-stream-test";
    std::filesystem::create_directories(directory);
    struct Case {
        const char* name;          // the file's name; "" for the directory itself
        const char* text;          // what the file holds; nullptr: no file
        TlsContextError expected;  // what createTlsContext reports
    };
    const Case cases[] = {
        {"missing.pem", nullptr, TlsContextError::CaFileUnreadable},
        {"", nullptr, TlsContextError::CaFileUnreadable},
        {"words.pem", "no certificate here\n", TlsContextError::CaFileHasNoCertificate},
        {"broken.pem", "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n",
         TlsContextError::CaFileHasNoCertificate},
        {"good.pem", kCertificatePem, TlsContextError::None},
    };
    for (const Case& c : cases) {
        const std::filesystem::path path = directory / c.name;
        if (c.text != nullptr) std::ofstream(path, std::ios::binary) << c.text;
        for (const bool verifyPeer : {true, false}) {
            TlsContextError error = TlsContextError::TlsUnavailable;
            TlsContext* context = createTlsContext(TlsSettings{verifyPeer, path.string()}, error);
            EXPECT_EQ(error, c.expected) << c.name << " verify " << verifyPeer;
            EXPECT_EQ(context != nullptr, c.expected == TlsContextError::None) << c.name;
            freeTlsContext(context);
        }
    }
    std::filesystem::remove_all(directory);
}

// A handshake with a peer that never finishes it ends by itself: at the
// give-up instant when the peer is silent, at once when it closes.
TEST(TlsStream, HandshakeWithoutTlsPeerEndsBounded) {
    TlsContext* context = defaultContextOrSkip();
    if (context == nullptr) GTEST_SKIP() << "this build has no TLS";
    struct Case {
        const char* name;                  // what the peer does
        std::function<void(SOCKET)> peer;  // its script on the accepted socket
        std::int64_t giveUpAfterNs;        // the handshake's give-up, from its start
        std::int64_t atLeastNs;            // the handshake lasts at least this
        std::int64_t atMostNs;             // and at most this (generous: a loaded machine)
    };
    const Case cases[] = {
        {"silent", [](SOCKET peer) { receiveRequestHeader(peer); }, 300 * kNsPerMs, 300 * kNsPerMs,
         5 * kNsPerSec},
        {"speaks HTTP and closes",
         [](SOCKET peer) { sendText(peer, "HTTP/1.1 400 Bad Request\r\n\r\n"); }, 20 * kNsPerSec, 0,
         10 * kNsPerSec},
    };
    for (const Case& c : cases) {
        std::uint16_t port = 0;
        const SOCKET listener = listenOnLoopback(port);
        std::thread peer([&] {
            const SOCKET accepted = acceptClient(listener);
            c.peer(accepted);
            closesocket(accepted);
        });
        const TestConfig config = loopbackTarget(port);
        const SOCKET client = config.createConnection(monotonicNowNs() + 5 * kNsPerSec);
        ASSERT_NE(client, INVALID_SOCKET);
        TlsSession* session = createTlsSession();
        const std::int64_t startNs = monotonicNowNs();
        TlsOpenResult result = TlsOpenResult::Open;
        TlsStream* stream = openTlsStream(*context, client, "localhost", session,
                                          startNs + c.giveUpAfterNs, result);
        const std::int64_t lastedNs = monotonicNowNs() - startNs;
        EXPECT_EQ(stream, nullptr) << c.name;
        EXPECT_EQ(result, TlsOpenResult::Failed) << c.name;
        EXPECT_GE(lastedNs, c.atLeastNs) << c.name;
        EXPECT_LE(lastedNs, c.atMostNs) << c.name;
        closesocket(client);  // ends the silent peer's wait
        peer.join();
        freeTlsSession(session);
        closesocket(listener);
    }
    freeTlsContext(context);
}

}  // namespace
