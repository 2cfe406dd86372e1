// What every connection thread of velkor_target shares: the settings, the
// prepared answer and the counts reported at exit.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "answer.h"
#include "options.h"

namespace target {

using Clock = std::chrono::steady_clock;

// Everything the connection threads share; read-only once they run.
struct Server {
    Options options;           // the command line
    Answer answer;             // the prepared answer of the mode
    Clock::time_point failAt;  // requests completed from then on stay unanswered
};

// Final answers sent in full, reported as "served N" at exit.
extern std::atomic<uint64_t> g_servedCount;
// Connections taken from the backlog, reported as "accepted N" at exit when asked.
extern std::atomic<uint64_t> g_acceptedCount;
// Final answers being written right now. A client may already hold all the
// bytes of one before its thread counts it, so the exit waits for this to
// drop to zero: otherwise "served N" could miss an answer the client counted.
extern std::atomic<int64_t> g_sendingCount;

}  // namespace target
