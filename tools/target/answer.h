// The bytes of the answers, built once at start so that serving a request only sends.
#pragma once

#include <string>
#include <string_view>

#include "options.h"

namespace target {

// The bytes of one answer, built once at start so that serving a request only sends.
struct Answer {
    std::string head;         // status line and fields of an answer that keeps the connection
    std::string closingHead;  // the same, announcing Connection: close
    std::string payload;      // body as sent on the wire (chunk-framed in chunked mode)
};

// A status line and fields made into a head, with Connection: close when closing.
std::string makeHead(std::string_view statusLine, std::string_view fields, bool closing);

// The answer of the mode, with the body the options ask for.
Answer buildAnswer(const Options& options);

// The modes whose every answer ends the connection.
bool modeAlwaysCloses(Mode mode);

}  // namespace target
