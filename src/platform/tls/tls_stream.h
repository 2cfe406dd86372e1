// TLS over a client's TCP connection, for https:// targets. Each system has
// its own file behind these declarations: tls_stream_posix.cpp (OpenSSL 3) and
// tls_stream_windows.cpp (Schannel through SSPI). Everything above this seam
// (the exchange, the framer, the client loop) sees plain bytes.
//
// Three lifetimes:
//   TlsContext  one per run: verification on or off, the trust store and the
//               --ca certificates. Created on the main thread before any
//               client starts, freed after the last one has ended; between
//               the two it is only read, by every client thread at once.
//   TlsSession  one per client: the session to resume when the client
//               reconnects (a ticket or session ID the server gave). Only its
//               own client's thread touches it; it outlives the client's
//               connections and may be empty.
//   TlsStream   one per connection: the TLS state over one connected socket.
//
// Rules every function here keeps, on both systems:
// - The socket is connected and non-blocking; the stream never closes it and
//   never changes its mode. The caller closes it after freeTlsStream.
// - Every wait is waitForSocket (platform/socket_wait.h) on that socket, with
//   at most the milliseconds left until the give-up instant (a monotonic ns
//   instant, common/clock.h's monotonicNowNs). No other blocking call, no
//   sleep, no thread: clients run as fibers and a wait parks only the fiber.
//   Waits follow socket_wait.h's rule: wait only after the socket said "would
//   block", since the wait may be edge-triggered.
// - A send or receive whose wait times out gets one more non-blocking try
//   before it gives up: on a busy worker the bytes may have arrived while the
//   fiber waited its turn. A handshake gets none: past the give-up instant no
//   handshake step is begun, since each costs real CPU (a key exchange, a
//   certificate check) and thousands of clients still shaking hands at a
//   run's end would stretch it.
// - Nothing is printed and no counter is touched here: the caller counts the
//   errors and prints the one verification line per run.
// - Failures are final: after a failed send or receive the caller frees the
//   stream and closes the socket; no other call is made on the stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/credentials/tls_settings.h"
#include "platform/net/socket_wait.h"

struct TlsContext;
struct TlsSession;
struct TlsStream;

// Creates the run's context: TLS 1.2 and 1.3 only, ALPN offering "http/1.1"
// only, resumption of client sessions allowed. With verifyPeer, the server's
// chain must end at a root of the system's trust store or, built again on
// caFile alone, at any certificate of caFile (a server's own, an
// intermediate); every certificate must be within its validity, and the leaf
// must name the host given to openTlsStream (DNS name, or IP address for a
// dotted IPv4 host).
// Without verifyPeer, caFile is still read and checked. With certFile and
// keyFile, a server's request for a certificate is answered with them; both
// are read and the key checked against the certificate here, so that no run
// starts with a pair the server would refuse for a reason of the client's.
// On failure returns nullptr and sets error; on success error is None.
TlsContext* createTlsContext(const TlsSettings& settings, TlsContextError& error);
void freeTlsContext(TlsContext* context);  // nullptr is allowed

// A client's resumable session; starts empty. Free it after its last stream.
TlsSession* createTlsSession();
void freeTlsSession(TlsSession* session);  // nullptr is allowed

// How a handshake ended. The verification reasons come only with verifyPeer.
enum class TlsOpenResult {
    Open,           // the handshake finished (and the certificate was accepted)
    Failed,         // the peer closed, reset, or spoke no TLS; a TLS alert; the give-up
                    // instant passed; or the library failed
    Expired,        // verification: a certificate of the chain has expired or is not yet valid
    UntrustedRoot,  // verification: the chain ends at no trusted root (a self-signed
                    // certificate too), or an issuer is missing
    NameMismatch,   // verification: the certificate does not name the host
    VerifyFailed,   // verification failed for another reason (revoked, bad signature, ...)
    // The server asked for a client certificate, then ended the handshake
    // with a fatal alert (under TLS 1.3 after it, see tlsLateRefusal):
    ClientCertificateMissing,    // none was given
    ClientCertificateUntrusted,  // the server trusts no issuer of the one given
    ClientCertificateExpired,    // the one given has expired or is not yet valid
    ClientCertificateRefused,    // the one given was refused for another reason
};

// Runs the client side of the handshake on the connected non-blocking socket.
// - SNI: host is sent as the server name only when it is a host name; a
//   dotted IPv4 address is never sent as SNI (RFC 6066), but is still what
//   the certificate is checked against.
// - Offers session's stored session when it has one; when the server later
//   issues a session (TLS 1.2 at the handshake, TLS 1.3 tickets after it,
//   which arrive with the first received bytes) it is stored in session,
//   replacing the old one. session may be nullptr: nothing resumed or stored.
// - Gives up at giveUpNs: a handshake still under way then ends as Failed.
// Returns the stream with result Open; nullptr with any other result.
TlsStream* openTlsStream(const TlsContext& context, SOCKET socket, std::string_view host,
                         TlsSession* session, std::int64_t giveUpNs, TlsOpenResult& result);

// Whether the handshake of an open stream resumed a stored session.
bool tlsSessionResumed(const TlsStream& stream);

// After a failed send or receive: the server's refusal of the handshake when
// that is what ended the stream, else Open. Under TLS 1.3 a server judges the
// client's certificate, or its absence, only after the client's last
// handshake flight, when the handshake is already over for the client: its
// refusal arrives with the first receive. It is the handshake's failure all
// the same, and gives one of the ClientCertificate results.
TlsOpenResult tlsLateRefusal(const TlsStream& stream);

// Sends all bytes, encrypted, waiting for the socket as needed. false when
// the connection failed or giveUpNs passed with bytes unsent.
bool tlsSendAll(TlsStream& stream, const char* data, std::size_t bytes, std::int64_t giveUpNs);

// Receives at least one and at most capacity decrypted bytes into buffer.
// Returns at once when decrypted bytes are already held; otherwise reads the
// socket, waiting as needed. Handshake messages after the handshake (TLS 1.3
// session tickets, key updates) are handled here and never returned.
// Returns the byte count (> 0); 0 at the peer's end of stream (close_notify,
// or the TCP end of stream without one, which many servers send); < 0 when
// the connection failed or giveUpNs passed with nothing received.
long tlsReceive(TlsStream& stream, char* buffer, std::size_t capacity, std::int64_t giveUpNs);

// Whether bytes from the peer are already held by the stream (decrypted, or
// read from the socket and not yet decrypted), so that a receive may finish
// without the socket. When false, the caller may wait for the socket before
// its first tlsReceive of a response, as it would on a plain connection: the
// response is new data and wakes even an edge-triggered wait.
bool tlsHoldsReceivedBytes(const TlsStream& stream);

// For a connection that sat idle: true when it can no longer carry a request,
// because the peer's close_notify, end of stream or reset is there, or
// decrypted bytes that no request asked for. Handshake messages waiting on
// the socket (session tickets) are processed and do not count. Never waits.
bool tlsClosedWhileIdle(TlsStream& stream);

// Ends the stream: sends close_notify without waiting when the connection is
// still sound (a send that would block is skipped), keeps the session
// resumable, and frees everything. nullptr is allowed. The socket stays open.
void freeTlsStream(TlsStream* stream);
