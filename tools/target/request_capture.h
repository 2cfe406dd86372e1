// velkor_target --capture FILE: takes requests of any method, with a body
// framed by Content-Length, and keeps the first one's exact bytes in FILE, so
// a test can compare them with what velkor was asked to send. Every later
// request is compared with the first.
#pragma once

#include <cstdio>
#include <string>

namespace target {

// Where the first request goes; set once, before any connection is served.
void startCapture(const std::string& path);

// Serves one connection until the client closes it or sends what cannot be
// read. Each request is answered "200 OK" with a 2-byte body, counted as
// served; the answer to HEAD carries the same header and no body.
void serveCapturedConnection(int fd);

// "captured N, unlike the first M": requests taken whole, and how many of
// them differ from the first by any byte.
void printCaptureCounts(std::FILE* out);

}  // namespace target
