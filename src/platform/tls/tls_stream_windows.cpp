// TLS records over a client's socket with Schannel: EncryptMessage for what
// is sent, DecryptMessage in place for what arrives, and the close_notify.
#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/os/clock.h"
#include "platform/os/wait_budget.h"
#include "platform/tls/schannel_handshake_windows.h"
#include "platform/tls/schannel_wire_windows.h"

namespace {

// The content type of a TLS 1.2 alert record (RFC 5246, 6.2.1); TLS 1.3
// hides the type inside the encryption.
constexpr unsigned char kAlertRecord = 21;

enum class RecordStep {
    Decrypted,    // one record was taken: its bytes (perhaps none) are pending
    NeedMore,     // the held bytes end inside a record
    Closed,       // the peer's close_notify
    Renegotiate,  // a handshake message after the handshake, due for an answer
    Failed,       // a record that does not decrypt, or an alert
};

// Whether the held bytes from cipherStart begin with a whole record: Wine
// reads a record's length from a header it has not checked is there.
RecordStep wholeRecordHeld(const TlsStream& stream) {
    const std::size_t held = stream.wireBytes - stream.cipherStart;
    const auto* record =
        reinterpret_cast<const unsigned char*>(stream.wire.get() + stream.cipherStart);
    if (held < 5) return RecordStep::NeedMore;
    const std::size_t recordBytes = 5 + (static_cast<std::size_t>(record[3]) << 8 | record[4]);
    if (recordBytes > kTlsRecordCapacity) return RecordStep::Failed;
    return held < recordBytes ? RecordStep::NeedMore : RecordStep::Decrypted;
}

// Where DecryptMessage left the plaintext and the bytes after the record.
void noteDecryptedRecord(TlsStream& stream, const SecBuffer* buffers, std::size_t count) {
    stream.cipherStart = stream.wireBytes;
    for (std::size_t i = 0; i < count; ++i) {
        const SecBuffer& buffer = buffers[i];
        if (buffer.BufferType == SECBUFFER_DATA && buffer.cbBuffer > 0) {
            stream.plainStart =
                static_cast<std::size_t>(static_cast<char*>(buffer.pvBuffer) - stream.wire.get());
            stream.plainBytes = buffer.cbBuffer;
            stream.dataReceived = true;
        } else if (buffer.BufferType == SECBUFFER_EXTRA) {
            stream.cipherStart -= buffer.cbBuffer;
        }
    }
}

// Decrypts the first record from cipherStart, in place.
RecordStep decryptRecord(TlsStream& stream) {
    const RecordStep held = wholeRecordHeld(stream);
    if (held != RecordStep::Decrypted) return held;
    char* record = stream.wire.get() + stream.cipherStart;
    const auto recordType = static_cast<unsigned char>(record[0]);
    SecBuffer buffers[4] = {
        {static_cast<ULONG>(stream.wireBytes - stream.cipherStart), SECBUFFER_DATA, record},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc message{SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = DecryptMessage(&stream.context, &message, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) return RecordStep::NeedMore;
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE && status != SEC_I_CONTEXT_EXPIRED) {
        stream.failure = status;
        return RecordStep::Failed;
    }
    noteDecryptedRecord(stream, buffers, 4);
    // Wine reports the close_notify as an alert record that decrypts to
    // nothing, where Windows says SEC_I_CONTEXT_EXPIRED. Any other alert that
    // decrypts without error is a warning, which servers do not send on a
    // connection that carries requests.
    if (status == SEC_I_CONTEXT_EXPIRED ||
        (status == SEC_E_OK && recordType == kAlertRecord && stream.plainBytes == 0)) {
        return RecordStep::Closed;
    }
    return status == SEC_I_RENEGOTIATE ? RecordStep::Renegotiate : RecordStep::Decrypted;
}

long takePlain(TlsStream& stream, char* buffer, std::size_t capacity) {
    const std::size_t bytes = std::min(capacity, stream.plainBytes);
    std::memcpy(buffer, stream.wire.get() + stream.plainStart, bytes);
    stream.plainStart += bytes;
    stream.plainBytes -= bytes;
    return static_cast<long>(bytes);
}

enum class Progress {
    Made,        // a record was taken, bytes came, or the peer's end was seen
    WouldBlock,  // nothing is there yet (only when no wait is allowed)
    Failed,      // the connection failed or gave up
};

// Receives after the held bytes. A TCP end between records is the end many
// servers send; one inside a record cut a response short.
Progress receiveRecordBytes(TlsStream& stream, std::int64_t giveUpNs, bool mayWait) {
    compactWire(stream);
    switch (mayWait ? receiveRaw(stream, giveUpNs) : receiveRawNow(stream)) {
        case RawReceive::Received:
            return Progress::Made;
        case RawReceive::WouldBlock:
            return Progress::WouldBlock;
        case RawReceive::EndOfStream:
            stream.peerClosed = stream.wireBytes == 0;
            return stream.peerClosed ? Progress::Made : Progress::Failed;
        case RawReceive::Failed:
            break;
    }
    return Progress::Failed;
}

// One step toward decrypted bytes or the peer's end: answers a message the
// peer sent after the handshake, decrypts a record, or receives. Without
// mayWait nothing waits, and a renegotiation that needs the peer again fails.
Progress advance(TlsStream& stream, std::int64_t giveUpNs, bool mayWait) {
    if (stream.renegotiate) {
        stream.renegotiate = false;
        const std::int64_t answerByNs = mayWait ? giveUpNs : monotonicNowNs();
        return answerPostHandshake(stream, answerByNs) ? Progress::Made : Progress::Failed;
    }
    switch (decryptRecord(stream)) {
        case RecordStep::Decrypted:
            return Progress::Made;
        case RecordStep::Closed:
            stream.peerClosed = true;
            return Progress::Made;
        case RecordStep::Renegotiate:
            stream.renegotiate = true;
            return Progress::Made;
        case RecordStep::NeedMore:
            return receiveRecordBytes(stream, giveUpNs, mayWait);
        case RecordStep::Failed:
            break;
    }
    return Progress::Failed;
}

// Asks Schannel for the close_notify and sends it if the socket takes it now.
void sendCloseNotify(TlsStream& stream) {
    DWORD shutdown = SCHANNEL_SHUTDOWN;
    SecBuffer control{sizeof(shutdown), SECBUFFER_TOKEN, &shutdown};
    SecBufferDesc controlDesc{SECBUFFER_VERSION, 1, &control};
    if (ApplyControlToken(&stream.context, &controlDesc) != SEC_E_OK) return;
    SecBuffer token{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc output{SECBUFFER_VERSION, 1, &token};
    ULONG attributes = 0;
    const ULONG flags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                        ISC_REQ_STREAM | ISC_REQ_ALLOCATE_MEMORY;
    const SECURITY_STATUS status =
        InitializeSecurityContextW(&stream.credentials, &stream.context, nullptr, flags, 0, 0,
                                   nullptr, 0, &stream.context, &output, &attributes, nullptr);
    if (token.pvBuffer == nullptr) return;
    if (status == SEC_E_OK && token.cbBuffer > 0) {
        send(stream.socket, static_cast<const char*>(token.pvBuffer),
             static_cast<int>(token.cbBuffer), 0);
    }
    FreeContextBuffer(token.pvBuffer);
}

}  // namespace

bool tlsSendAll(TlsStream& stream, const char* data, std::size_t bytes, std::int64_t giveUpNs) {
    const SecPkgContext_StreamSizes& sizes = stream.sizes;
    const std::size_t most = std::min<std::size_t>(bytes, sizes.cbMaximumMessage);
    std::vector<char> record(sizes.cbHeader + most + sizes.cbTrailer);
    while (bytes > 0) {
        const auto chunk = static_cast<ULONG>(std::min(bytes, most));
        std::memcpy(record.data() + sizes.cbHeader, data, chunk);
        SecBuffer buffers[4] = {
            {sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
            {chunk, SECBUFFER_DATA, record.data() + sizes.cbHeader},
            {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes.cbHeader + chunk},
            {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc message{SECBUFFER_VERSION, 4, buffers};
        // Header, data and trailer lie one after another: the record is the
        // sum of their lengths from the start.
        if (EncryptMessage(&stream.context, 0, &message, 0) != SEC_E_OK ||
            !sendRaw(stream.socket, record.data(),
                     buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer, giveUpNs)) {
            stream.sound = false;
            return false;
        }
        data += chunk;
        bytes -= chunk;
    }
    return true;
}

long tlsReceive(TlsStream& stream, char* buffer, std::size_t capacity, std::int64_t giveUpNs) {
    for (;;) {
        if (stream.plainBytes > 0) return takePlain(stream, buffer, capacity);
        if (stream.peerClosed) return 0;
        if (advance(stream, giveUpNs, true) != Progress::Made) {
            stream.sound = false;
            return -1;
        }
    }
}

// A pending answer to the peer counts: it may have to be sent before the
// peer sends anything more.
bool tlsHoldsReceivedBytes(const TlsStream& stream) {
    return stream.plainBytes > 0 || stream.cipherStart < stream.wireBytes || stream.renegotiate;
}

bool tlsClosedWhileIdle(TlsStream& stream) {
    for (;;) {
        if (stream.plainBytes > 0 || stream.peerClosed) return true;
        const Progress progress = advance(stream, 0, false);
        if (progress == Progress::WouldBlock) return false;
        if (progress == Progress::Failed) {
            stream.sound = false;
            return true;
        }
    }
}

void freeTlsStream(TlsStream* stream) {
    if (stream == nullptr) return;
    if (stream->sound && !stream->peerClosed) sendCloseNotify(*stream);
    if (stream->contextMade) DeleteSecurityContext(&stream->context);
    delete stream;
}
