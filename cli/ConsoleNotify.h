// The receiver of a job's messages on the command line: log texts go to standard output
// exactly as the job wrote them; counters and status texts only feed the progress line.
#pragma once
#include "platform/Notify.h"
#include "tape/Progress.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

class ConsoleNotify : public NotifyWindow {
public:
    // log: where the texts go (stdout). progress: the terminal for the progress line, or
    // null when there is none (stderr is not a terminal).
    ConsoleNotify(std::FILE* log, std::FILE* progress);

    void Send(uint32_t message, TaskMemBlock block) override;
    void PostLatest(uint32_t message, const void* record, size_t size) override;

    // Redraws the progress line when something changed and the last drawing is at least
    // interval old. Called by the waiting main thread.
    void DrawProgress(std::chrono::steady_clock::duration interval = std::chrono::milliseconds(250));
    // Whether there is a progress line to keep drawing.
    bool HasProgressLine() const { return m_pProgress != nullptr; }
    // Clears the progress line (end of the job).
    void ClearProgress();
    // Writes a note on the progress terminal (or on stderr) without tearing the line.
    void Note(const std::string& text, std::FILE* fallback);

    // The files the job is to read (0: to the end of the tape), for "file k of n".
    void SetFilesToRead(uint64_t files);

    // The line as it would be drawn now (tests).
    std::string ProgressText(std::chrono::steady_clock::time_point now) const;

private:
    std::string ProgressTextLocked(std::chrono::steady_clock::time_point now) const;
    void ClearLineLocked();

    std::FILE* m_pLog;
    std::FILE* m_pProgress;
    bool m_bLogOnTerminal;

    mutable std::mutex m_lock;  // terminal output and the members below
    uint64_t m_nBlocksTotal = 0;
    uint64_t m_nFileBlocks = 0;
    uint64_t m_nKBytesTotal = 0;
    uint64_t m_nFileKBytes = 0;
    TapeCounters m_counters{};
    uint64_t m_nFilesToRead = 0;
    uint64_t m_nUpdates = 0;   // messages that change the line
    bool m_bHaveCounters = false;
    std::string m_strStatus;
    std::chrono::steady_clock::time_point m_sessionStart;
    std::chrono::steady_clock::time_point m_fileStart;
    std::chrono::steady_clock::time_point m_lastText;
    bool m_bLineShown = false;
    uint64_t m_nDrawnUpdates = UINT64_MAX;
    std::chrono::steady_clock::time_point m_lastDraw;
};
