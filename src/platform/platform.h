// The operating-system layer. On Windows these are the real Winsock and
// kernel headers, with the thread pool calls mapped to velkor's fiber pool;
// elsewhere a POSIX stand-in provides the same names
// for exactly the subset velkor uses. Nothing outside src/platform may test
// which operating system it is built for.
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

#include "platform/pool_names_windows.h"
#else
#include "platform/posix_winapi.h"
#endif

#include "platform/socket_wait.h"
#include "platform/precise_sleep.h"
#include "platform/socket_limit.h"
