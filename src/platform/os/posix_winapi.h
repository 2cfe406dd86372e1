// POSIX stand-in for the Windows interfaces velkor calls: Winsock start-up and
// socket handles, critical sections, the performance counter, Sleep, the
// processor count and the thread pool with cleanup groups. Only included by
// platform.h on systems other than Windows.
#pragma once

#include <cstdint>

#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using LONGLONG = std::int64_t;
using BOOL = int;
using PVOID = void*;
using VOID = void;
using u_long = unsigned long;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
// Calling-convention markers of the Windows headers; meaningless here.
#define CALLBACK
#define NTAPI

// ---- Winsock ----------------------------------------------------------------

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

constexpr int WSAEWOULDBLOCK = EWOULDBLOCK;
constexpr int WSAEINPROGRESS = EINPROGRESS;
constexpr int WSAEINTR = EINTR;

#define MAKEWORD(low, high) \
    static_cast<WORD>((static_cast<BYTE>(low)) | (static_cast<WORD>(static_cast<BYTE>(high)) << 8))

struct WSADATA {
    WORD wVersion;      // version the caller asked for
    WORD wHighVersion;  // highest version this layer offers (the same)
};
using LPWSADATA = WSADATA*;

// Also makes the process fit for many sockets: a write to a peer that has gone
// must fail with an error, not kill the process, and the descriptor limit is
// raised to its hard limit so thousands of clients need no ulimit.
int WSAStartup(WORD versionRequested, LPWSADATA data);
int WSACleanup();
int WSAGetLastError();
int closesocket(SOCKET s);
int ioctlsocket(SOCKET s, long command, u_long* argument);

// A name lookup may wait seconds for a DNS server. On a pool worker, where the
// clients are fibers sharing one thread, that wait must not hold up the others,
// so getaddrinfo is routed through this layer; results are freed with the
// system's freeaddrinfo as always.
int lookUpAddress(const char* node, const char* service, const addrinfo* hints, addrinfo** result);
#define getaddrinfo lookUpAddress

// On a pool worker these may be submissions to its poller, batched with the
// other fibers' calls (socket_calls_posix.cpp); they keep the system's
// meaning, including a would-block on a non-blocking socket.
ssize_t sendOnFiber(SOCKET socket, const void* bytes, std::size_t length, int flags);
ssize_t recvOnFiber(SOCKET socket, void* room, std::size_t length, int flags);
#define send sendOnFiber
#define recv recvOnFiber

// ---- Critical sections --------------------------------------------------------

struct CRITICAL_SECTION {
    pthread_mutex_t mutex;  // the lock itself; not recursive, never nested by velkor
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;

void InitializeCriticalSection(LPCRITICAL_SECTION section);
void DeleteCriticalSection(LPCRITICAL_SECTION section);
void EnterCriticalSection(LPCRITICAL_SECTION section);
void LeaveCriticalSection(LPCRITICAL_SECTION section);

// ---- Time and system information ----------------------------------------------

union LARGE_INTEGER {
    LONGLONG QuadPart;  // the whole 64-bit value
};

// The counter runs on CLOCK_MONOTONIC in nanoseconds, so its frequency is 1e9.
BOOL QueryPerformanceCounter(LARGE_INTEGER* count);
BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency);
void Sleep(DWORD milliseconds);

struct SYSTEM_INFO {
    DWORD dwNumberOfProcessors;  // logical processors online
    DWORD dwPageSize;            // bytes in a memory page
};
using LPSYSTEM_INFO = SYSTEM_INFO*;
void GetNativeSystemInfo(LPSYSTEM_INFO info);

// ---- Thread pool ----------------------------------------------------------------

struct TP_POOL;
struct TP_CLEANUP_GROUP;
struct TP_WORK;
struct TP_CALLBACK_INSTANCE;
using PTP_POOL = TP_POOL*;
using PTP_CLEANUP_GROUP = TP_CLEANUP_GROUP*;
using PTP_WORK = TP_WORK*;
using PTP_CALLBACK_INSTANCE = TP_CALLBACK_INSTANCE*;
using PTP_WORK_CALLBACK = void (*)(PTP_CALLBACK_INSTANCE instance, PVOID context, PTP_WORK work);
using PTP_CLEANUP_GROUP_CANCEL_CALLBACK = void (*)(PVOID objectContext, PVOID cleanupContext);
using PTP_SIMPLE_CALLBACK = void (*)(PTP_CALLBACK_INSTANCE instance, PVOID context);

enum TP_CALLBACK_PRIORITY {
    TP_CALLBACK_PRIORITY_HIGH,
    TP_CALLBACK_PRIORITY_NORMAL,
    TP_CALLBACK_PRIORITY_LOW,
    TP_CALLBACK_PRIORITY_INVALID,
};

struct TP_CALLBACK_ENVIRON_V3 {
    DWORD Version;                                                 // record version, 3
    PTP_POOL Pool;                                                 // pool that runs the work
    PTP_CLEANUP_GROUP CleanupGroup;                                // group the work joins, or null
    PTP_CLEANUP_GROUP_CANCEL_CALLBACK CleanupGroupCancelCallback;  // unused here, null
    PVOID RaceDll;                                                 // unused here, null
    PVOID ActivationContext;                                       // unused here, null
    PTP_SIMPLE_CALLBACK FinalizationCallback;                      // unused here, null
    union {
        DWORD Flags;  // unused here, 0
    } u;
    TP_CALLBACK_PRIORITY CallbackPriority;  // only normal priority exists here
    DWORD Size;                             // size of this record in bytes
};
using TP_CALLBACK_ENVIRON = TP_CALLBACK_ENVIRON_V3;
using PTP_CALLBACK_ENVIRON = TP_CALLBACK_ENVIRON_V3*;

PTP_POOL CreateThreadpool(PVOID reserved);
void SetThreadpoolThreadMaximum(PTP_POOL pool, DWORD maximumThreads);
BOOL SetThreadpoolThreadMinimum(PTP_POOL pool, DWORD minimumThreads);
void CloseThreadpool(PTP_POOL pool);

PTP_CLEANUP_GROUP CreateThreadpoolCleanupGroup();
void CloseThreadpoolCleanupGroupMembers(PTP_CLEANUP_GROUP group, BOOL cancelPendingCallbacks,
                                        PVOID cleanupContext);
void CloseThreadpoolCleanupGroup(PTP_CLEANUP_GROUP group);

PTP_WORK CreateThreadpoolWork(PTP_WORK_CALLBACK callback, PVOID context,
                              PTP_CALLBACK_ENVIRON environment);
void SubmitThreadpoolWork(PTP_WORK work);
void CloseThreadpoolWork(PTP_WORK work);
