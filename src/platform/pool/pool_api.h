// The system's names with the thread pool's calls and Sleep as velkor runs
// them: on Windows mapped to the fiber pool (pool_names_windows.h), on POSIX
// the fiber pool under the system's own names.
#pragma once

#include "platform/os/system_api.h"

#ifdef _WIN32
#include "platform/pool/pool_names_windows.h"
#endif
