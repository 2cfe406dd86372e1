// velkor_target's command line: the modes and the settings it reads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace target {

// How each request is answered (see the usage text for the spellings).
enum class Mode {
    Fast,
    Delay,
    Chunked,
    Close,
    Http10,
    EarlyHints,
    UntilClose,
    Never,
    CloseAtOnce,
    NoContent,
    ResetInHeader,
    ResetInBody,
    CloseAfterHeader,
    HugeHeader,
    Garbage,
    BadChunk,
    Trickle,
    BigBody,
    SplitHeader,
};

// Everything the command line sets.
struct Options {
    int64_t port = 0;               // TCP port on 127.0.0.1; 0 lets the kernel pick a free one
    Mode mode = Mode::Fast;         // how each GET is answered
    int64_t delayMs = 100;          // wait before each answer in delay mode, milliseconds
    int64_t bodyBytes = -1;         // response body size, bytes; -1 until resolved from the mode
    int64_t stopAfterSec = 60;      // lifetime of the process, seconds
    int64_t closeEvery = 0;         // answers per connection before closing it; 0 = no limit
    int64_t failAfterSec = -1;      // seconds after which requests stay unanswered; -1 = never
    int64_t refuseAfterSec = -1;    // seconds after which the listener closes; -1 = never
    int64_t status = 200;           // status code of the answers that are 200 by default
    bool showHelp = false;          // --help was given: print the usage and exit 0
    bool countConnections = false;  // print the number of accepted connections at exit
};

// The usage text printed by --help and after a bad command line.
extern const char* const kUsage;

// Accepts "--flag value" and "--flag=value"; error is set when the result is empty.
std::optional<Options> parseArgs(int argc, char** argv, std::string& error);

}  // namespace target
