// mktape: makes a SIMH tape image out of plain files, one tape file per input.
#pragma once
#include "cli/CliOptions.h"

#include <cstdint>
#include <string>
#include <vector>

struct MkTapeSummary {
    uint64_t files = 0;
    uint64_t records = 0;
    uint64_t bytes = 0;
};

// Writes out: each input cut into records of its block size (the last one may be shorter,
// an empty input gives an empty tape file), each followed by a tapemark, then the end
// marker. The inputs are streamed, one record in memory at a time. The image is written
// under a temporary name and renamed at the end, so a failure leaves no image behind (and
// an existing one untouched). An out that is one of the inputs, by any name, is refused
// before anything is written. False with a one-line reason in error.
bool MakeTapeImage(const std::string& out, const std::vector<MkTapeInput>& inputs, MkTapeSummary& summary,
                   std::string& error);
