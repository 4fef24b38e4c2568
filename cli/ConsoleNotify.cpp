#include "cli/ConsoleNotify.h"

#include "tape/TapeJob.h"

#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

double Seconds(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// MB/s (10^6 bytes) of a KiB count over an interval; 0 before there is a measurable time.
double Rate(uint64_t kbytes, double seconds)
{
    return seconds > 0.05 ? static_cast<double>(kbytes) * 1024.0 / seconds / 1e6 : 0.0;
}

std::string Size(uint64_t kbytes)
{
    char text[32];
    if (kbytes < 10 * 1024)
        std::snprintf(text, sizeof text, "%llu KiB", static_cast<unsigned long long>(kbytes));
    else if (kbytes < 10ull * 1024 * 1024)
        std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(kbytes) / 1024.0);
    else
        std::snprintf(text, sizeof text, "%.2f GiB", static_cast<double>(kbytes) / (1024.0 * 1024.0));
    return text;
}

size_t TerminalWidth(std::FILE* f)
{
    winsize ws{};
    if (ioctl(fileno(f), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1)
        return ws.ws_col - 1;
    return 79;
}

bool SameTerminal(std::FILE* a, std::FILE* b)
{
    return a && b && isatty(fileno(a)) && isatty(fileno(b));
}

} // namespace

ConsoleNotify::ConsoleNotify(std::FILE* log, std::FILE* progress)
    : m_pLog(log), m_pProgress(progress), m_bLogOnTerminal(SameTerminal(log, progress))
{
    m_sessionStart = m_fileStart = m_lastText = std::chrono::steady_clock::now();
}

void ConsoleNotify::Send(uint32_t message, TaskMemBlock block)
{
    if (!block)
        return;
    const char* text = block.data();
    const size_t length = strnlen(text, block.size());
    const auto now = std::chrono::steady_clock::now();

    switch (message) {
    case UM_LOG_TEXT:
        if (m_bLogOnTerminal) {
            // Log and progress share the screen: take the line away before the text.
            std::lock_guard guard(m_lock);
            ClearLineLocked();
            std::fwrite(text, 1, length, m_pLog);
            std::fflush(m_pLog);
            m_lastText = now;
        } else {
            // Not under the lock: a slow reader of the pipe may hold this thread up, but
            // never the main thread, which must stay free to see Ctrl-C.
            std::fwrite(text, 1, length, m_pLog);
            std::fflush(m_pLog);
            std::lock_guard guard(m_lock);
            m_lastText = now;
        }
        break;
    case UM_COUNTERS:
        PostLatest(message, text, block.size());
        break;
    case UM_STATUS_TEXT: {
        std::lock_guard guard(m_lock);
        m_strStatus.assign(text, length);
        ++m_nUpdates;
        break;
    }
    default:
        break;
    }
}

// The counters come after every block: they are taken as they are, with no block of task
// memory for each (a tape of 512-byte records sends a million a second).
void ConsoleNotify::PostLatest(uint32_t message, const void* record, size_t size)
{
    if (message != UM_COUNTERS) {
        NotifyWindow::PostLatest(message, record, size);
        return;
    }
    if (size < sizeof(TapeCounters))
        return;
    TapeCounters c;
    std::memcpy(&c, record, sizeof c);
    const auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard guard(m_lock);
        if (!m_bHaveCounters)
            m_sessionStart = now;  // the first record comes before the first read
        // The first block of a file: the file began with the log text just before it.
        if (!c.bFinal && c.nFileBlocks == 1)
            m_fileStart = m_lastText;
        m_nBlocksTotal = c.nBlocksTotal;
        m_nFileBlocks = c.nFileBlocks;
        m_nKBytesTotal = c.nKBytesTotal;
        m_nFileKBytes = c.nFileKBytes;
        m_counters = c;
        m_bHaveCounters = true;
        ++m_nUpdates;
    }
}

void ConsoleNotify::SetFilesToRead(uint64_t files)
{
    std::lock_guard guard(m_lock);
    m_nFilesToRead = files;
}

std::string ConsoleNotify::ProgressText(std::chrono::steady_clock::time_point now) const
{
    std::lock_guard guard(m_lock);
    return ProgressTextLocked(now);
}

std::string ConsoleNotify::ProgressTextLocked(std::chrono::steady_clock::time_point now) const
{
    if (!m_bHaveCounters)
        return m_strStatus;
    char text[160];
    std::snprintf(text, sizeof text, "file: %s blocks, %s, %.1f MB/s | total: %s blocks, %s | ",
                  GroupedNumber(m_nFileBlocks).c_str(), Size(m_nFileKBytes).c_str(),
                  Rate(m_nFileKBytes, Seconds(now - m_fileStart)), GroupedNumber(m_nBlocksTotal).c_str(),
                  Size(m_nKBytesTotal).c_str());
    ProgressMeter meter;
    meter.Start(m_sessionStart, m_nFilesToRead);
    return text + ProgressLine(meter.Take(m_counters, now));
}

void ConsoleNotify::DrawProgress(std::chrono::steady_clock::duration interval)
{
    if (!m_pProgress)
        return;
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard guard(m_lock);
    if (now - m_lastDraw < interval)
        return;
    // Unchanged counters still get a redraw now and then, so the rates fall when the tape
    // stalls.
    if (m_nUpdates == m_nDrawnUpdates && now - m_lastDraw < std::chrono::seconds(1))
        return;
    std::string text = ProgressTextLocked(now);
    if (text.empty())
        return;
    size_t width = TerminalWidth(m_pProgress);
    if (text.size() > width)
        text.resize(width);
    std::fprintf(m_pProgress, "\r%s\033[K", text.c_str());
    std::fflush(m_pProgress);
    m_bLineShown = true;
    m_lastDraw = now;
    m_nDrawnUpdates = m_nUpdates;
}

void ConsoleNotify::ClearProgress()
{
    std::lock_guard guard(m_lock);
    ClearLineLocked();
}

void ConsoleNotify::ClearLineLocked()
{
    if (!m_bLineShown || !m_pProgress)
        return;
    std::fputs("\r\033[K", m_pProgress);
    std::fflush(m_pProgress);
    m_bLineShown = false;
    m_nDrawnUpdates = UINT64_MAX;  // draw again at the next chance
}

void ConsoleNotify::Note(const std::string& text, std::FILE* fallback)
{
    if (!m_pProgress) {
        std::fwrite(text.data(), 1, text.size(), fallback);
        std::fflush(fallback);
        return;
    }
    std::lock_guard guard(m_lock);
    ClearLineLocked();
    std::fwrite(text.data(), 1, text.size(), m_pProgress);
    std::fflush(m_pProgress);
}
