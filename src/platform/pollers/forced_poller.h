#pragma once
// The poller VELKOR_POLLER names, shared by each system's choice.
#include <span>

#include "platform/fibers/fiber_poller.h"

// The poller of `pollers` named `forced`. A name of none of them, or of one
// the system refuses, ends the process with one line on standard error;
// `names` lists the system's pollers for that line ("epoll or io_uring").
const FiberPoller& forcedPoller(const char* forced, std::span<const FiberPoller* const> pollers,
                                const char* names);
