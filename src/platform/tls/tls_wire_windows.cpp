// The raw bytes under Schannel's records: sends and receives on the client's
// non-blocking socket, bounded by the give-up instant, and the buffer of
// received records that the handshake and the record layer both read.
#include <cstring>

#include "platform/os/clock.h"
#include "platform/os/wait_budget.h"
#include "platform/tls/schannel_wire_windows.h"

namespace {

// Waits for the socket after a would-block. False when the wait failed, or
// timed out at the give-up instant after the one more try it had.
bool waitAfterWouldBlock(SOCKET socket, SocketWait direction, std::int64_t giveUpNs,
                         bool& lastTry) {
    if (lastTry) return false;
    const int budgetMs = waitBudgetMs(giveUpNs, monotonicNowNs());
    const WaitResult result = waitForSocket(socket, direction, budgetMs);
    if (result == WaitResult::Failed) return false;
    // A busy worker may resume the fiber late, after the bytes came: one more
    // try before giving up.
    lastTry = result == WaitResult::TimedOut && monotonicNowNs() >= giveUpNs;
    return true;
}

}  // namespace

bool sendRaw(SOCKET socket, const char* data, std::size_t bytes, std::int64_t giveUpNs) {
    bool lastTry = false;
    while (bytes > 0) {
        const int chunk = bytes > 1 << 30 ? 1 << 30 : static_cast<int>(bytes);
        const int sent = send(socket, data, chunk, 0);
        if (sent > 0) {
            data += sent;
            bytes -= static_cast<std::size_t>(sent);
            lastTry = false;
        } else if (sent == SOCKET_ERROR && lastSocketCallWouldBlock()) {
            if (!waitAfterWouldBlock(socket, SocketWait::Writable, giveUpNs, lastTry)) return false;
        } else {
            return false;
        }
    }
    return true;
}

RawReceive receiveRawNow(TlsStream& stream) {
    const std::size_t room = kTlsRecordCapacity - stream.wireBytes;
    // Full: a record longer than TLS allows.
    if (room == 0) return RawReceive::Failed;
    const int received =
        recv(stream.socket, stream.wire.get() + stream.wireBytes, static_cast<int>(room), 0);
    if (received > 0) {
        stream.wireBytes += static_cast<std::size_t>(received);
        return RawReceive::Received;
    }
    if (received == 0) return RawReceive::EndOfStream;
    return lastSocketCallWouldBlock() ? RawReceive::WouldBlock : RawReceive::Failed;
}

RawReceive receiveRaw(TlsStream& stream, std::int64_t giveUpNs) {
    bool lastTry = false;
    for (;;) {
        const RawReceive received = receiveRawNow(stream);
        if (received != RawReceive::WouldBlock) return received;
        if (!waitAfterWouldBlock(stream.socket, SocketWait::Readable, giveUpNs, lastTry)) {
            return RawReceive::Failed;
        }
    }
}

void compactWire(TlsStream& stream) {
    const std::size_t kept = stream.wireBytes - stream.cipherStart;
    if (stream.cipherStart > 0 && kept > 0) {
        std::memmove(stream.wire.get(), stream.wire.get() + stream.cipherStart, kept);
    }
    stream.wireBytes = kept;
    stream.cipherStart = 0;
    stream.plainStart = 0;
}
