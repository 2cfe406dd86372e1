// The raw socket bytes under Schannel's records (tls_wire_windows.cpp), which
// the handshake and the record layer both use.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/tls/schannel_windows.h"

// What a raw receive did.
enum class RawReceive {
    Received,     // at least one byte was appended
    EndOfStream,  // the peer ended the TCP stream
    WouldBlock,   // nothing there yet (only from receiveRawNow)
    Failed,       // an error, a full buffer, or giveUpNs passed with nothing received
};

// Sends every byte, waiting for the socket as needed; false on an error or
// when giveUpNs passes first.
bool sendRaw(SOCKET socket, const char* data, std::size_t bytes, std::int64_t giveUpNs);

// Appends what the socket has to stream.wire, after the held bytes; waits
// only after the socket said it would block.
RawReceive receiveRaw(TlsStream& stream, std::int64_t giveUpNs);
// The same without waiting.
RawReceive receiveRawNow(TlsStream& stream);

// Drops the wire bytes before cipherStart, so that receives append after the
// undecrypted rest. Only when no decrypted bytes are pending.
void compactWire(TlsStream& stream);
