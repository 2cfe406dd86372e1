// The handshake steps (tls_handshake_windows.cpp) that the record layer
// reuses for handshake messages after the handshake.
#pragma once

#include <cstdint>

#include "platform/tls/schannel_windows.h"

// Continues the handshake with the wire bytes from cipherStart as input,
// receiving whenever none are left, until Schannel reports the context
// complete. False on any failure or at giveUpNs. Bytes after the handshake
// stay in wire.
bool continueHandshake(TlsStream& stream, std::int64_t giveUpNs);

// Answers a handshake message the peer sent after the handshake (a TLS 1.3
// ticket or key update, a renegotiation), which DecryptMessage reported as
// SEC_I_RENEGOTIATE, with the wire bytes after it as input.
bool answerPostHandshake(TlsStream& stream, std::int64_t giveUpNs);
