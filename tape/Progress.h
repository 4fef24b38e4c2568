// The figures of a running load's or capture's progress, worked out once for every front
// end: the window's status bar and the command line's progress line show the same ones.
#pragma once
#include "tape/TapeJob.h"

#include <chrono>
#include <cstdint>
#include <string>

struct ProgressFigures {
    uint64_t blocks = 0;       // read in all
    uint64_t kbytes = 0;
    int percent = -1;          // of the medium read (a tape image); -1 when not known
    double mbPerSecond = 0;    // decimal MB, over the session so far
    double elapsed = 0;        // seconds since the session began
    double left = -1;          // seconds still to go; -1 when not known
    int32_t file = 0;          // the file being read: its place among the files to read, from 1
    uint64_t files = 0;        // the files to read; 0 when not known (to the end of the tape)
};

class ProgressMeter {
public:
    using Clock = std::chrono::steady_clock;

    // A session begins: filesToRead is 0 when the selection runs to the end of the tape.
    void Start(Clock::time_point now, uint64_t filesToRead);
    ProgressFigures Take(const TapeCounters& counters, Clock::time_point now) const;

private:
    Clock::time_point m_start{};
    uint64_t m_nFiles = 0;
};

// The files a load of this selection text reads: 0 for "*", a text that does not parse, or
// one so large that its count means nothing.
uint64_t FilesToRead(const std::string& selection);

// 9939367 as "9,939,367".
std::string GroupedNumber(uint64_t value);
// Seconds as "0:42", "12:05" or "1:02:03".
std::string DurationText(double seconds);
// "file 2 of 5, 37 %, 12.3 MB/s, 0:42 elapsed, 1:10 left": the figures that are known.
std::string ProgressLine(const ProgressFigures& figures);
