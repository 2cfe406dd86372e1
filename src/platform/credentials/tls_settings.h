// What the run's TLS is made from (the command line's TLS options), and why
// it could not be made. Both systems' TLS, and the client credentials this
// room reads for it, share these.
#pragma once

#include <string>

// What the run's TLS settings are made from; from --insecure, --ca, --cert,
// --key and --key-password-file.
struct TlsSettings {
    bool verifyPeer = true;     // false with --insecure: any certificate and any name are accepted
    std::string caFile{};       // --ca: PEM file whose certificates are trusted besides the
                                // system's store; empty: the system's store only
    std::string certFile{};     // --cert: PEM file, the client's certificate first, then any
                                // intermediates; empty: no client certificate
    std::string keyFile{};      // --key: PEM file with the certificate's private key
    std::string keyPassword{};  // the --key-password-file's first line; empty: none given
    bool hasKeyPassword = false;  // a password was given (it may be empty)
};

// Why no context could be made. The caller turns it into the user's message.
enum class TlsContextError {
    None,
    CaFileUnreadable,          // the --ca file cannot be opened or read
    CaFileHasNoCertificate,    // the --ca file holds no PEM certificate, or a malformed one
    TlsUnavailable,            // the system's TLS library or trust store could not be set up
    CertFileUnreadable,        // the --cert file cannot be opened or read
    CertFileHasNoCertificate,  // the --cert file holds no PEM certificate, or a malformed one
    KeyFileUnreadable,         // the --key file cannot be opened or read
    KeyFileHasNoKey,           // the --key file holds no PEM private key, or a malformed one
    KeyEncrypted,              // the key is encrypted and no password was given
    KeyPasswordWrong,          // the password does not decrypt the key
    KeyFormatUnsupported,      // a key of a form this system's TLS cannot take (Windows)
    KeyNotUsable,              // the system's TLS refused a key held in memory (Wine)
    KeyMismatch,               // the key is not the certificate's
};
