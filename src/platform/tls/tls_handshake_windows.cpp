// The client handshake through Schannel: InitializeSecurityContext called
// until it reports the context complete, its tokens sent and the server's
// records fed back to it, all on the client's non-blocking socket.
#include <cstddef>
#include <cstring>

#include "platform/os/clock.h"
#include "platform/tls/schannel_handshake_windows.h"
#include "platform/tls/schannel_wire_windows.h"

namespace {

// Confidentiality with stream records, and no client certificate unless one
// was supplied (none is): Schannel would otherwise pick one of the user's.
constexpr ULONG kRequestFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                ISC_REQ_CONFIDENTIALITY | ISC_REQ_STREAM | ISC_REQ_ALLOCATE_MEMORY |
                                ISC_REQ_USE_SUPPLIED_CREDS | ISC_REQ_EXTENDED_ERROR |
                                ISC_REQ_MANUAL_CRED_VALIDATION;

// The ALPN offer, "http/1.1" only, in the layout of SEC_APPLICATION_PROTOCOLS.
struct AlpnOffer {
    alignas(ULONG) unsigned char bytes[32];  // the structure, with its variable tail
    ULONG size;                              // bytes in use
};

AlpnOffer makeAlpnOffer() {
    static constexpr unsigned char kProtocols[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
    constexpr std::size_t kListOffset = offsetof(SEC_APPLICATION_PROTOCOLS, ProtocolLists);
    constexpr std::size_t kNamesOffset = offsetof(SEC_APPLICATION_PROTOCOL_LIST, ProtocolList);
    AlpnOffer offer{};
    SEC_APPLICATION_PROTOCOL_LIST list{};
    list.ProtoNegoExt = SecApplicationProtocolNegotiationExt_ALPN;
    list.ProtocolListSize = sizeof(kProtocols);
    std::memcpy(offer.bytes + kListOffset, &list, kNamesOffset);
    std::memcpy(offer.bytes + kListOffset + kNamesOffset, kProtocols, sizeof(kProtocols));
    const ULONG listsBytes = kNamesOffset + sizeof(kProtocols);
    std::memcpy(offer.bytes, &listsBytes, sizeof(listsBytes));
    offer.size = kListOffset + listsBytes;
    return offer;
}

SEC_WCHAR* targetNameOf(TlsStream& stream) {
    return stream.targetName.empty() ? nullptr : stream.targetName.data();
}

// Sends a token Schannel allocated, then frees it. An empty one is no error.
bool sendToken(TlsStream& stream, SecBuffer& token, std::int64_t giveUpNs) {
    if (token.pvBuffer == nullptr) return true;
    const bool sent =
        sendRaw(stream.socket, static_cast<const char*>(token.pvBuffer), token.cbBuffer, giveUpNs);
    FreeContextBuffer(token.pvBuffer);
    return sent;
}

// The first call: makes the context, with SNI and the ALPN offer, and sends
// the ClientHello.
bool startHandshake(TlsStream& stream, std::int64_t giveUpNs) {
    AlpnOffer alpn = makeAlpnOffer();
    SecBuffer offer{alpn.size, SECBUFFER_APPLICATION_PROTOCOLS, alpn.bytes};
    SecBufferDesc input{SECBUFFER_VERSION, 1, &offer};
    SecBuffer token{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc output{SECBUFFER_VERSION, 1, &token};
    ULONG attributes = 0;
    const SECURITY_STATUS status = InitializeSecurityContextW(
        &stream.credentials, nullptr, targetNameOf(stream), kRequestFlags, 0, 0, &input, 0,
        &stream.context, &output, &attributes, nullptr);
    stream.contextMade = status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK;
    const bool sent = sendToken(stream, token, giveUpNs);
    return status == SEC_I_CONTINUE_NEEDED && sent;
}

enum class HandshakeStep {
    Done,      // the context is complete
    Continue,  // call again: with the bytes left over, or with new ones when none are
    NeedMore,  // the held bytes end inside a record: receive more, then call again
    Failed,    // a TLS failure, an alert, or the token could not be sent
};

// One call with the undecrypted wire bytes as input. Whatever token comes
// out is sent, an alert on failure too; bytes Schannel left over (EXTRA)
// stay in wire for the next call or for the record layer.
HandshakeStep handshakeStep(TlsStream& stream, std::int64_t giveUpNs) {
    SecBuffer inputs[2] = {
        {static_cast<ULONG>(stream.wireBytes - stream.cipherStart), SECBUFFER_TOKEN,
         stream.wire.get() + stream.cipherStart},
        {0, SECBUFFER_EMPTY, nullptr},
    };
    SecBufferDesc input{SECBUFFER_VERSION, 2, inputs};
    SecBuffer token{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc output{SECBUFFER_VERSION, 1, &token};
    ULONG attributes = 0;
    const SECURITY_STATUS status = InitializeSecurityContextW(
        &stream.credentials, &stream.context, targetNameOf(stream), kRequestFlags, 0, 0, &input, 0,
        &stream.context, &output, &attributes, nullptr);
    if (!sendToken(stream, token, giveUpNs)) return HandshakeStep::Failed;
    if (status == SEC_E_INCOMPLETE_MESSAGE) return HandshakeStep::NeedMore;
    // The server asks for a certificate and none was given: the same input
    // is taken again, and the handshake goes on without one, as a browser's
    // does. The server decides whether it will do without.
    if (status == SEC_I_INCOMPLETE_CREDENTIALS && !stream.certificateRequested) {
        stream.certificateRequested = true;
        return HandshakeStep::Continue;
    }
    stream.cipherStart = stream.wireBytes;
    if (inputs[1].BufferType == SECBUFFER_EXTRA) stream.cipherStart -= inputs[1].cbBuffer;
    if (status == SEC_E_OK) return HandshakeStep::Done;
    if (status == SEC_I_CONTINUE_NEEDED) return HandshakeStep::Continue;
    stream.failure = status;
    return HandshakeStep::Failed;
}

bool receiveMore(TlsStream& stream, std::int64_t giveUpNs) {
    compactWire(stream);
    return receiveRaw(stream, giveUpNs) == RawReceive::Received;
}

bool negotiatedTls12OrLater(TlsStream& stream) {
    SecPkgContext_ConnectionInfo info{};
    if (QueryContextAttributesW(&stream.context, SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK) {
        return false;
    }
    return (info.dwProtocol & (SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT)) != 0;
}

bool sessionWasResumed(TlsStream& stream) {
    SecPkgContext_SessionInfo info{};
    return QueryContextAttributesW(&stream.context, SECPKG_ATTR_SESSION_INFO, &info) == SEC_E_OK &&
           (info.dwFlags & SSL_SESSION_RECONNECT) != 0;
}

// Steps until Schannel reports the context complete, receiving whenever no
// bytes are held. With stopAtGiveUp, as when a connection opens, no step is
// begun once giveUpNs has passed, however late the fiber woke and whatever
// bytes wait: each step costs real CPU, and the certificate it brings in
// would be judged after the instant.
bool stepHandshake(TlsStream& stream, std::int64_t giveUpNs, bool stopAtGiveUp) {
    for (;;) {
        if (stream.cipherStart == stream.wireBytes && !receiveMore(stream, giveUpNs)) {
            return false;
        }
        if (stopAtGiveUp && monotonicNowNs() >= giveUpNs) return false;
        switch (handshakeStep(stream, giveUpNs)) {
            case HandshakeStep::Done:
                return true;
            case HandshakeStep::Continue:
                break;
            case HandshakeStep::NeedMore:
                if (!receiveMore(stream, giveUpNs)) return false;
                break;
            case HandshakeStep::Failed:
                return false;
        }
    }
}

}  // namespace

bool continueHandshake(TlsStream& stream, std::int64_t giveUpNs) {
    return stepHandshake(stream, giveUpNs, false);
}

bool answerPostHandshake(TlsStream& stream, std::int64_t giveUpNs) {
    const bool inputHeld = stream.cipherStart < stream.wireBytes;
    switch (handshakeStep(stream, giveUpNs)) {
        case HandshakeStep::Done:
            return true;
        case HandshakeStep::Continue:
            return continueHandshake(stream, giveUpNs);
        case HandshakeStep::NeedMore:
            // With nothing held, the message was wholly taken in by
            // DecryptMessage (a TLS 1.3 ticket) and nothing more is due.
            return !inputHeld ||
                   (receiveMore(stream, giveUpNs) && continueHandshake(stream, giveUpNs));
        case HandshakeStep::Failed:
            break;
    }
    return false;
}

TlsStream* openTlsStream(const TlsContext& context, SOCKET socket, std::string_view host,
                         TlsSession*, std::int64_t giveUpNs, TlsOpenResult& result) {
    result = TlsOpenResult::Failed;
    auto stream = std::make_unique<TlsStream>();
    stream->socket = socket;
    stream->credentials = context.credentials;
    stream->wire = std::make_unique<char[]>(kTlsRecordCapacity);
    stream->certificateGiven = context.client.certificate != nullptr;
    // An address is no server name (RFC 6066, 3); it is still checked
    // against the certificate.
    std::string address;
    if (!parseAddressHost(host, address)) stream->targetName = widenHost(host);
    if (!startHandshake(*stream, giveUpNs) || !stepHandshake(*stream, giveUpNs, true) ||
        !negotiatedTls12OrLater(*stream) ||
        QueryContextAttributesW(&stream->context, SECPKG_ATTR_STREAM_SIZES, &stream->sizes) !=
            SEC_E_OK) {
        // Only a status Schannel failed the handshake with says why: a
        // handshake the give-up cut short says nothing of the certificate.
        if (stream->failure != SEC_E_OK) {
            result = clientCertificateVerdict(*stream, stream->failure);
        }
        freeTlsStream(stream.release());
        return nullptr;
    }
    if (context.verifyPeer) {
        // The check is a step too. A connect the give-up cut short ends as
        // Failed: a reason judged after the instant would not be the
        // certificate's alone.
        if (monotonicNowNs() >= giveUpNs) {
            freeTlsStream(stream.release());
            return nullptr;
        }
        result = checkServerCertificate(context, *stream, host);
        if (result != TlsOpenResult::Open) {
            freeTlsStream(stream.release());
            return nullptr;
        }
    }
    stream->resumed = sessionWasResumed(*stream);
    stream->sound = true;
    result = TlsOpenResult::Open;
    return stream.release();
}

bool tlsSessionResumed(const TlsStream& stream) {
    return stream.resumed;
}

// Only the first records after the handshake can carry its refusal.
TlsOpenResult tlsLateRefusal(const TlsStream& stream) {
    if (stream.dataReceived || stream.failure == SEC_E_OK) return TlsOpenResult::Open;
    const TlsOpenResult verdict = clientCertificateVerdict(stream, stream.failure);
    return verdict == TlsOpenResult::Failed ? TlsOpenResult::Open : verdict;
}
