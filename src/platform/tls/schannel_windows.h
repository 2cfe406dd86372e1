// What the Schannel files behind tls_stream.h share: the SSPI and CryptoAPI
// headers, the state of a run's context and of one connection's stream, the
// host's forms and the certificate check. Above it, in this order: the raw
// socket bytes (schannel_wire_windows.h), the handshake steps the record
// layer reuses (schannel_handshake_windows.h), the record layer.
#pragma once

#include "platform/os/system_api.h"

// SCH_CREDENTIALS is declared only with SCHANNEL_USE_BLACKLISTS, and uses
// UNICODE_STRING from <winternl.h>.
#define SCHANNEL_USE_BLACKLISTS
#define SECURITY_WIN32
#include <winternl.h>
#include <wincrypt.h>
#include <schannel.h>
#include <security.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/credentials/schannel_client_certificate_windows.h"
#include "platform/tls/tls_stream.h"

struct TlsContext {
    bool verifyPeer = true;               // false with --insecure
    CredHandle credentials{};             // Schannel credentials shared by every connection
    HCERTSTORE caStore = nullptr;         // the --ca certificates, or none
    HCERTCHAINENGINE caEngine = nullptr;  // chain engine trusting only caStore, or none
    ClientCertificate client{};           // --cert and --key; no certificate without them
};

// Schannel keeps the client sessions it may resume itself, per credentials
// and target name, so a client's session holds nothing of its own.
struct TlsSession {};

// The largest TLS record on the wire: a 5-byte header, 2^14 bytes of
// plaintext and at most 2048 bytes of expansion (RFC 5246, 6.2.3).
inline constexpr std::size_t kTlsRecordCapacity = 5 + 16384 + 2048;

struct TlsStream {
    SOCKET socket = INVALID_SOCKET;      // the connected non-blocking socket; not owned
    CredHandle credentials{};            // the run context's credentials, which outlive the stream
    CtxtHandle context{};                // the Schannel security context
    bool contextMade = false;            // context holds a handle to delete
    bool sound = false;                  // handshake done and no failure since: close_notify may go
    bool peerClosed = false;             // the peer's close_notify has arrived
    bool renegotiate = false;            // the peer asked for a handshake step, due once
                                         // the decrypted bytes before it are taken
    bool resumed = false;                // the handshake resumed a cached session
    bool certificateGiven = false;       // the credentials hold a client certificate
    bool certificateRequested = false;   // the server asked for one that was not given
    SECURITY_STATUS failure = SEC_E_OK;  // the status that failed the handshake or the
                                         // first record after it, if any
    bool dataReceived = false;           // application bytes have been decrypted
    std::wstring targetName;             // SNI and cache key: the host name, empty for an address
    SecPkgContext_StreamSizes sizes{};   // header, trailer and largest plaintext of a record
    std::unique_ptr<char[]> wire;        // kTlsRecordCapacity bytes: records as received,
                                         // decrypted in place
    std::size_t wireBytes = 0;           // bytes held in wire, from its start
    std::size_t cipherStart = 0;         // offset in wire of the first record not yet decrypted
    std::size_t plainStart = 0;          // offset in wire of decrypted bytes not yet returned
    std::size_t plainBytes = 0;          // decrypted bytes not yet returned
};

// The host as UTF-16, for Schannel and CryptoAPI.
std::wstring widenHost(std::string_view host);

// True when host is an IPv4 or IPv6 address (an IPv6 zone aside); its 4 or
// 16 bytes, in network order, are stored in addressBytes.
bool parseAddressHost(std::string_view host, std::string& addressBytes);

// What a failed handshake (or, under TLS 1.3, the first records after it)
// says of the client's certificate: the server asked for one that was not
// given, or refused the one given with an alert Schannel reported as status.
// Failed when it says nothing of it.
TlsOpenResult clientCertificateVerdict(const TlsStream& stream, SECURITY_STATUS status);

// Checks the server's certificate of a finished handshake against the
// system's roots (and the --ca ones) and the host.
TlsOpenResult checkServerCertificate(const TlsContext& context, TlsStream& stream,
                                     std::string_view host);
