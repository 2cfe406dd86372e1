// The block of the connections' own figures that --connections prints after
// the summary: how many were opened and lost, the most held at once, how long
// until every client held one, and how long opening them took.
#pragma once

#include <iosfwd>

#include "stats/run_result.h"

// The percentages of the connect and handshake lines, in order.
inline constexpr double kConnectionBlockPercents[] = {50.0, 90.0, 99.0, 100.0};

// Writes the block: an empty line, the counts, then the connect time (and
// for https the handshake time) at each percentage in ms with three decimals.
void printConnectionBlock(const RunResult& result, std::ostream& out);
