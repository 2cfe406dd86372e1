// The system's own names: on Windows the real Winsock and kernel headers,
// elsewhere the POSIX stand-in that gives the same names for exactly the
// subset velkor uses (posix_winapi.h). The bottom of the platform layer.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// On a pool worker whose poller takes submissions these go to the poller
// (platform/net/socket_calls_windows.cpp), as on POSIX (posix_winapi.h).
int sendOnFiber(SOCKET socket, const char* bytes, int length, int flags);
int recvOnFiber(SOCKET socket, char* room, int length, int flags);
int connectOnFiber(SOCKET socket, const sockaddr* address, int length);
int closesocketOnFiber(SOCKET socket);
#define send sendOnFiber
#define recv recvOnFiber
#define connect connectOnFiber
#define closesocket closesocketOnFiber
#else
#include "platform/os/posix_winapi.h"
#endif
