#include "app/tls_setup.h"

#include <fstream>
#include <string>

#include "config/messages.h"
#include "platform/os/file_system.h"
#include "platform/tls/tls_stream.h"

namespace {

bool failOption(std::string_view option, std::string_view what) {
    writeErrorLine(std::string(kOptionPrefix) + std::string(option) + std::string(what));
    return false;
}

bool failFile(std::string_view option, const std::string& path, std::string_view rule) {
    return failOption(option, std::string(kOptionBadValue) + quotePath(path) + std::string(rule));
}

// The client certificate's options go together, and with https alone: a
// certificate without its key could answer no server, and one given for
// http would be silently unused.
bool clientCertificateOptionsAgree(const TestConfig& config) {
    if (!config.certFile.empty() && config.keyFile.empty()) {
        return failOption("--cert", kOptionNeedsKey);
    }
    if (!config.keyFile.empty() && config.certFile.empty()) {
        return failOption("--key", kOptionNeedsCert);
    }
    if (!config.keyPasswordFile.empty() && config.keyFile.empty()) {
        return failOption("--key-password-file", kOptionNeedsKey);
    }
    if (!config.certFile.empty() && !config.useTls) return failOption("--cert", kOptionNeedsHttps);
    return true;
}

// The password is the file's first line, without its line end, as other
// tools that take a password file read it.
bool readKeyPassword(const std::string& path, std::string& password) {
    if (isDirectory(path)) return false;
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open()) return false;
    std::getline(file, password);
    if (file.bad()) return false;
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return true;
}

// The one line for a context that could not be made, naming the option at fault.
void reportContextError(const TestConfig& config, TlsContextError error) {
    switch (error) {
        case TlsContextError::CaFileUnreadable:
            failFile("--ca", config.caFile, kCaFileUnreadable);
            return;
        case TlsContextError::CaFileHasNoCertificate:
            failFile("--ca", config.caFile, kCaFileNoCertificate);
            return;
        case TlsContextError::CertFileUnreadable:
            failFile("--cert", config.certFile, kCaFileUnreadable);
            return;
        case TlsContextError::CertFileHasNoCertificate:
            failFile("--cert", config.certFile, kCaFileNoCertificate);
            return;
        case TlsContextError::KeyFileUnreadable:
            failFile("--key", config.keyFile, kKeyFileUnreadable);
            return;
        case TlsContextError::KeyFileHasNoKey:
            failFile("--key", config.keyFile, kKeyFileNoKey);
            return;
        case TlsContextError::KeyEncrypted:
            failFile("--key", config.keyFile, kKeyEncrypted);
            return;
        case TlsContextError::KeyFormatUnsupported:
            failFile("--key", config.keyFile, kKeyFormatUnsupported);
            return;
        case TlsContextError::KeyMismatch:
            failFile("--key", config.keyFile, kKeyMismatch);
            return;
        case TlsContextError::KeyNotUsable:
            failFile("--key", config.keyFile, kKeyNotUsable);
            return;
        case TlsContextError::KeyPasswordWrong:
            failFile("--key-password-file", config.keyPasswordFile, kKeyPasswordWrong);
            return;
        default:
            writeErrorLine(kTlsUnavailable);
            return;
    }
}

}  // namespace

bool prepareTls(TestConfig& config) {
    if (!clientCertificateOptionsAgree(config)) return false;
    if (!config.useTls) return true;
    TlsSettings settings{config.verifyPeer, config.caFile, config.certFile, config.keyFile};
    settings.hasKeyPassword = !config.keyPasswordFile.empty();
    if (settings.hasKeyPassword && !readKeyPassword(config.keyPasswordFile, settings.keyPassword)) {
        return failFile("--key-password-file", config.keyPasswordFile, kKeyPasswordUnreadable);
    }
    TlsContextError error = TlsContextError::None;
    config.tlsContext = createTlsContext(settings, error);
    if (config.tlsContext != nullptr) return true;
    reportContextError(config, error);
    return false;
}

void releaseTls(TestConfig& config) {
    freeTlsContext(config.tlsContext);
    config.tlsContext = nullptr;
}
