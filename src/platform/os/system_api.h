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
#else
#include "platform/os/posix_winapi.h"
#endif
