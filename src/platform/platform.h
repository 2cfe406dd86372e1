// The operating-system layer as the rest of velkor sees it: the system's
// names (Winsock, the kernel's calls, the thread pool mapped to velkor's fiber
// pool), socket waits, socket addresses of every family, fine sleeps and the
// descriptor limit. Nothing outside src/platform may test which operating
// system it is built for. Inside, the
// rooms stand on each other in this order, each including only those below
// it: tls, net, pollers, fibers, os (README.md).
#pragma once

#include "platform/pool/pool_api.h"
#include "platform/net/socket_wait.h"
#include "platform/pool/precise_sleep.h"
#include "platform/net/socket_limit.h"
#include "platform/net/socket_address.h"
