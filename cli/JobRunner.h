// Runs one tape job the way the window does (a registered TapeJob on a worker thread of its
// own) and waits for it, turning Ctrl-C into the break request.
#pragma once
#include "frontend/ExitStatus.h"
#include "tape/TapeJob.h"

#include <cstdint>
#include <cstdio>
#include <string>

class ConsoleNotify;
class TapeJobList;

struct CliJob {
    int32_t kind = TAPE_JOB_LOAD;
    int32_t tapeIndex = 0;
    std::string path;       // load and capture (the image's folder)
    std::string fileBase;   // load and capture (the image's name)
    std::string selection;  // load only
    LoadOptions options;    // load and capture
    CaptureOptions capture; // capture: the image's format
};

// Registers the job in list, starts its thread and waits until the list announces that the
// worker has removed it. While it waits, the first SIGINT asks a load to stop after the
// current file, the second (or a SIGTERM or SIGHUP) to stop at once; notes about that go to notes (through notify,
// which keeps the progress line whole). The thread sleeps until one of those happens, or
// until the progress line is due for a redraw. wakeups, when given, counts its wake-ups.
// Returns how the job ended.
TapeJobResult RunTapeJob(TapeJobList& list, const CliJob& job, ConsoleNotify& notify, std::FILE* notes,
                         int* wakeups = nullptr);

// SIGTERM or SIGHUP when one of them stopped the last job (the program then exits with
// 128 + the signal, as a shell expects); 0 otherwise.
int TerminatingSignal();

// The exit status of the program for a job's result.
ExitStatus ExitStatusFor(TapeJobResult result);
