// Answering one request the way the mode says, the fault modes included.
#pragma once

#include "server_state.h"

namespace target {

// How a connection ends once the current request is dealt with.
enum class Ending { KeepOpen, Graceful, Abrupt };

// Answers one request the way the mode says and tells how the connection goes on.
Ending answerRequest(int fd, const Server& server, bool closing);

}  // namespace target
