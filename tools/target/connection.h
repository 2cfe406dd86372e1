// One client connection of velkor_target, served on a thread of its own.
#pragma once

#include "server_state.h"

namespace target {

// Serves the socket on a detached thread with a 64 KiB stack; without one, drops it.
void startConnectionThread(int fd, const Server& server);

}  // namespace target
