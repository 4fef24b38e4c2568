// The log view: a read-only text that collects everything the program has to say, and the
// receiver of the job messages (log texts, counters, status texts) for the status panes.
// It knows no frame: the drive text is handed to it, the pane texts leave by a signal.
#pragma once
#include "platform/Notify.h"
#include "tape/TapeJob.h"

#include <QPlainTextEdit>
#include <QTextCharFormat>
#include <QTimer>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

class CChildView : public QPlainTextEdit, public NotifyWindow {
    Q_OBJECT

public:
    explicit CChildView(QWidget* parent = nullptr);
    ~CChildView() override;

    // The drive summary of the start-up text, asked for when the banner is written (it
    // runs a fresh scan). Without one the banner stands alone.
    void SetDriveReport(std::function<std::string()> report);
    // Writes the start-up banner and the drive summary over the whole text.
    void OnInitialUpdate();

    // The notify window of the jobs. From a worker it waits until the UI thread has handled
    // the message; on the UI thread it handles it at once. Counters posted before a message
    // are shown before it. A worker's log texts are in the text when Send returns; the log
    // is painted at most once per screen frame meanwhile.
    void Send(uint32_t message, TaskMemBlock block) override;
    // Running counters from a worker do not wait: the newest record waits in a slot and
    // the panes show it when the UI thread gets to it, at most once per screen frame. A
    // final record goes through Send, so a job's end shows before its worker goes on.
    // Anything else, and anything on the UI thread, is sent as usual.
    void PostLatest(uint32_t message, const void* record, size_t size) override;
    // From now on Send drops every message and waits for nothing (the frame is going away
    // under a worker); workers waiting for a reply are let go.
    void Detach();

    // The three job messages, on the UI thread. The view owns the block.
    void WindowProc(uint32_t message, TaskMemBlock block);
    // Appends text at the end (null appends nothing) and scrolls so that the first visible
    // line is N - 30, N the line count before the append (0 below 30). The engine's error
    // lines (its ERROR marker, the line after it, "Reason: " lines) show in red; the text
    // itself is as given.
    void AppendLogText(const char* text);
    // Appends text whose every line is an error line (shown in red), for the frame's own
    // failures and findings that are not a job's.
    void AppendErrorText(const char* text);
    void ShowCounters(const TapeCounters& counters);
    void ShowStatusText(const char* text);

    // Lines of the log, counted as the edit control counts them (an empty last line too).
    int GetLineCount() const;
    int GetFirstVisibleLine() const;

signals:
    // A status pane gets a new text: 0 is the status word, 1 to 4 the counters. Emitted on
    // the UI thread, while the message is handled.
    void PaneTextChanged(int pane, const QString& text);
    // A job's counters, as the panes show them: for the progress figures beside them.
    void CountersShown(const TapeCounters& counters);

protected:
    void changeEvent(QEvent* event) override;

private:
    void InstallAccelerators();
    // Takes the message waiting in the mailbox, handles it and lets its sender go.
    Q_INVOKABLE void ProcessMail();
    // A worker posted counters: shown now, or when the frame's pause has passed.
    Q_INVOKABLE void OnCountersPosted();
    // Shows the record in the slot, if any, and starts the pause before the next one.
    void ShowLatestCounters();
    // Takes the record in the slot; with m_mailLock held.
    std::optional<TapeCounters> TakeLatestCountersLocked();

    // One message handed from a worker to the UI thread at a time.
    struct Mail {
        uint32_t message;
        TaskMemBlock block;
    };
    const std::thread::id m_uiThread;
    std::function<std::string()> m_driveReport;
    std::mutex m_mailLock;  // guards the six members below
    std::condition_variable m_mailChanged;
    std::optional<Mail> m_pendingMail;
    uint64_t m_nMailPosted = 0;
    uint64_t m_nMailDone = 0;
    bool m_bDetached = false;
    std::optional<TapeCounters> m_latestCounters;  // posted, not yet shown
    bool m_bCountersQueued = false;  // a show is on its way (queued call or the pause)
    QTimer m_countersPause;  // UI thread only: one counters update per screen frame
    QTimer m_logPaintPause;  // UI thread only: the log's paint waits while it runs
    // UI thread only: the formats of the log's lines, and where the appends have got to
    // in the engine's error lines.
    QTextCharFormat m_plainFormat;
    QTextCharFormat m_errorFormat;
    bool m_bAtLineStart = true;
    bool m_bLineIsError = false;  // the line the next text starts in, when it goes on
    bool m_bErrorTextNext = false;  // the last line begun was the ERROR marker
    bool m_bAllError = false;  // AppendErrorText: every line begun is an error line
};
