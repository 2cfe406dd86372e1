// The closing report of a run, in English.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <vector>

#include "app/test_config.h"

// The latency at percentage p of the list: the entry at 0-based position
// floor(n * p / 100) after sorting, clamped to the last entry; 0 when empty.
// Sorts the list in place. The caller holds g_latencyLock.
std::uint32_t latencyPercentile(std::vector<std::uint32_t>& latenciesMs, double percent);

// Writes the sixteen summary lines to out. Called once every client and the
// reporter have ended.
void printFinalSummary(const TestConfig& config, std::ostream& out);
