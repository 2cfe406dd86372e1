// The client's own certificate for servers that ask for one (mutual TLS):
// read from the --cert and --key PEM files into the run's OpenSSL context.
#pragma once

#include <openssl/ssl.h>

#include "platform/credentials/tls_settings.h"

// Loads settings.certFile (the certificate, then any intermediates, sent
// with it) and settings.keyFile (decrypted with the password when it is
// encrypted) into ssl, and checks that the key is the certificate's. Does
// nothing and returns None when certFile is empty.
TlsContextError useClientCertificate(SSL_CTX* ssl, const TlsSettings& settings);

// The fatal alert the peer ended the connection with, read from the thread's
// error queue after a failed call; -1 when the failure was no received alert.
int receivedAlert();
