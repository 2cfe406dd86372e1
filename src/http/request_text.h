// The one request velkor sends, over and over: built once before the run and
// shared by every client.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "config/test_config.h"

// In this order, each line ended by CR LF: "<method> <path> HTTP/1.1";
// "Host: <host>" (never with the port), or the --header Host line in its
// place; "Connection: keep-alive"; the other --header lines, as given and in
// their order; "Content-Length: <bodyBytes>" when there is a --body-file,
// and for POST, PUT and PATCH without one; then the empty line. Without the
// options: "GET", the host, no other line.
std::string buildRequestHead(const TestConfig& config, std::uint64_t bodyBytes);

// The head and, after it, the body.
std::string buildRequestText(const TestConfig& config, std::string_view body = {});

// Whether the request's method is HEAD, whose answers end with their header.
bool requestIsHead(std::string_view requestText);

// The length of the body behind a request's head: the bytes after the first
// empty line, which no header line can hold.
std::uint64_t requestBodyBytes(std::string_view requestText);
