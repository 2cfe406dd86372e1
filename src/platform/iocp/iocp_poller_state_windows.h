// What the completion port poller's files share. The kernel writes into an
// operation's OVERLAPPED and a receive's buffer until its completion is taken
// from the port, so both live in the socket's record on the heap, never on a
// fiber's stack, and the record outlives the close until then.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "platform/fibers/fiber_poller.h"

#include <mswsock.h>

inline constexpr std::size_t kIocpReceiveBytes = 4096;       // a socket's receive buffer
inline constexpr std::size_t kMostBytesSentAtOnce = 262144;  // longer sends are taken in parts

struct IocpSocket;

enum class IocpCall { Receive, Send, Connect };

struct IocpOperation {
    OVERLAPPED overlapped{};            // first: a completion's OVERLAPPED* is its operation
    IocpSocket* owner = nullptr;        // the socket's record
    IocpCall call = IocpCall::Receive;  // what was started
    bool inFlight = false;              // started, and its completion not yet taken
    Fiber* fiber = nullptr;             // fiber parked until it completes, or none
};

struct IocpSocket {
    SOCKET socket = INVALID_SOCKET;  // the socket, until it is closed
    bool closed = false;             // closed: the record goes with its last completion
    IocpOperation receive;           // a wait's receive into `received`
    IocpOperation send;              // a send of `sending`
    IocpOperation connect;           // ConnectEx
    bool connectedHere = false;      // its connect was a ConnectEx: connectError tells how it went
    int connectError = 0;            // the Winsock error the connect ended with, or 0
    std::size_t heldOffset = 0;      // first byte of `received` the caller has not taken
    std::size_t heldBytes = 0;       // bytes of `received` the caller has not taken
    bool heldEnd = false;            // a receive met the end of the stream
    int heldError = 0;               // a receive's or send's Winsock error not yet reported, or 0
    std::string sending;             // the bytes of the send in flight
    char received[kIocpReceiveBytes];  // where a wait's receive puts the bytes
};

struct PollerState {
    FiberWorker* worker = nullptr;                    // the worker it serves
    HANDLE port = nullptr;                            // the worker's completion port
    std::unordered_map<SOCKET, IocpSocket*> sockets;  // open sockets the port knows
    std::size_t inFlight = 0;                         // operations whose completion is due
    bool winsockStarted = false;                      // holds a WSAStartup reference
};

// ---- Records and operations (iocp_sockets_windows.cpp) ----

// The socket's record, made and the socket tied to the port on first use;
// null when the system refuses the tie.
IocpSocket* recordFor(PollerState& state, SOCKET socket);
IocpSocket* knownRecord(PollerState& state, SOCKET socket);
bool anyInFlight(const IocpSocket& record);
// Marks an operation the kernel has taken; false (with the record's heldError
// set) when the system refused it at once.
bool started(PollerState& state, IocpOperation& operation, int returned);
// Takes one completion: what it brought is held for the socket's next call,
// and the fiber parked on it, if any, is made ready.
void completeOperation(PollerState& state, IocpOperation& operation, DWORD bytes);
void forgetRecord(PollerState& state, SOCKET socket);

// ---- Socket calls as submissions (iocp_socket_calls_windows.cpp) ----

bool startReceive(PollerState& state, IocpSocket& record);
bool submitIocp(PollerState* state, Fiber* fiber, const SocketOperation& call, long& result);
// ConnectEx, looked up once per process; null where the system lacks it.
LPFN_CONNECTEX connectExFunction();
