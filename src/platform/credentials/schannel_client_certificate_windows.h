// The client's certificate for Schannel (mutual TLS), read from the --cert
// and --key PEM files and held in memory only.
#pragma once

#include "platform/os/system_api.h"

#include <wincrypt.h>
#include <ncrypt.h>

#include "platform/credentials/tls_settings.h"

struct ClientCertificate {
    HCERTSTORE store = nullptr;            // memory store: the certificate and intermediates
    PCCERT_CONTEXT certificate = nullptr;  // the client's certificate, its key linked to it
    HCRYPTPROV provider = 0;               // ephemeral CryptoAPI key set of an RSA key, or 0
    NCRYPT_KEY_HANDLE key = 0;             // unnamed CNG key of any other key, or 0
};

// Reads settings.certFile and settings.keyFile into client, and checks that
// the key is the certificate's; None and nothing read without certFile.
TlsContextError loadClientCertificate(ClientCertificate& client, const TlsSettings& settings);

// Releases what loadClientCertificate made; client is then empty.
void freeClientCertificate(ClientCertificate& client);
