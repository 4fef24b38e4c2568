// The byte figure of the summaries: the count, and from 1 000 on its size in Kb, Mb or Gb
// with two decimals. The thresholds are 1000 times a power of 1024, so 1 000 bytes print
// as (0.98 Kb). Gb is the top unit.
#pragma once
#include <cstdint>
#include <string>

// head + count, then gap + "(%0.2f Xb)" when count >= 1000, then "\n".
std::string ByteFigure(const char* head, const char* gap, uint64_t count);
