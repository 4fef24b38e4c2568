#include "view/ChildView.h"

#include "platform/TimeText.h"
#include "res/Resource.h"

#include <QAction>
#include <QCoreApplication>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>

#include <QEvent>

#include <algorithm>
#include <cstring>
#include <string_view>

namespace {

// The text of a block: up to its first zero byte, never past its end. Null for no block.
const char* BlockText(const TaskMemBlock& block, std::string& storage)
{
    if (!block) {
        return nullptr;
    }
    const size_t length = strnlen(block.data(), block.size());
    if (length < block.size()) {
        return block.data();
    }
    storage.assign(block.data(), length);
    return storage.c_str();
}

// The engine's error lines, as it writes them: a marker line, the error text on the next
// line, and the "Reason: " lines, each after the job's "[NN][TAPEn] -- " prefix.
constexpr std::string_view kErrorMarker = "--//--//-- ERROR --//--//--";
constexpr std::string_view kReason = "Reason: ";

// The line without its job prefix (the whole line when it has none).
std::string_view WithoutJobPrefix(std::string_view line)
{
    constexpr std::string_view tape = "][TAPE";
    constexpr std::string_view tail = "] -- ";
    if (line.empty() || line.front() != '[') {
        return line;
    }
    size_t at = 1;
    const auto digits = [&] {
        const size_t start = at;
        while (at < line.size() && line[at] >= '0' && line[at] <= '9') {
            ++at;
        }
        return at > start;
    };
    if (!digits() || line.substr(at, tape.size()) != tape) {
        return line;
    }
    at += tape.size();
    if (!digits() || line.substr(at, tail.size()) != tail) {
        return line;
    }
    return line.substr(at + tail.size());
}

// Dark red on a light log, light red on a dark one: readable on either.
QColor ErrorColour(const QPalette& palette)
{
    return palette.color(QPalette::Base).lightness() < 128 ? QColor(0xff, 0x6b, 0x6b) : QColor(0xb0, 0x00, 0x00);
}

// Every character of the font as wide as every other: what keeps tab-aligned columns in
// line. Measured, not taken from the font's pitch flag, which some monospace fonts lack
// (Noto Sans Mono, as fontconfig describes it).
bool HasEqualWidths(const QFont& font)
{
    const QFontMetricsF metrics(font);
    const qreal width = metrics.horizontalAdvance(QLatin1Char('M'));
    if (width <= 0)
        return false;
    for (const char c : {'i', 'l', 'W', '.', ' ', '0', '#', ':'})
        if (!qFuzzyCompare(metrics.horizontalAdvance(QLatin1Char(c)), width))
            return false;
    return true;
}

// The log's font: the system's fixed-width font when its characters are equally wide, else
// the first installed font whose characters are (those that call themselves fixed pitch
// tried first), at the system font's size. With none at all, the system's.
QFont LogFont()
{
    const QFont system = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    if (HasEqualWidths(system))
        return system;
    QFont candidate = system;
    candidate.setStyleHint(QFont::TypeWriter);
    candidate.setFamilies({QStringLiteral("monospace")});
    if (HasEqualWidths(candidate))
        return candidate;
    const QStringList families = QFontDatabase::families();
    for (const bool fixedPitch : {true, false}) {
        for (const QString& family : families) {
            if (QFontDatabase::isFixedPitch(family) != fixedPitch || QFontDatabase::isPrivateFamily(family))
                continue;
            candidate.setFamilies({family});
            if (HasEqualWidths(candidate))
                return candidate;
        }
    }
    return system;
}

// About one screen frame: the log need not be painted faster than it can be seen.
constexpr int kScreenFrameMs = 16;
// The running counters are read by a person: ten times a second is as often as a figure
// can be read, and every show costs the UI thread a repaint of the panes, which on a
// machine of two processors takes time from the copy and its hasher.
constexpr int kCountersIntervalMs = 100;

} // namespace

CChildView::CChildView(QWidget* parent) : QPlainTextEdit(parent), m_uiThread(std::this_thread::get_id())
{
    m_countersPause.setSingleShot(true);
    m_countersPause.setInterval(kCountersIntervalMs);
    connect(&m_countersPause, &QTimer::timeout, this, &CChildView::ShowLatestCounters);
    m_logPaintPause.setSingleShot(true);
    m_logPaintPause.setInterval(kScreenFrameMs);
    connect(&m_logPaintPause, &QTimer::timeout, this, [this] { setUpdatesEnabled(true); });
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    // One log line is one line of the view, so scrolling by lines means log lines.
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setUndoRedoEnabled(false);
    // The summaries line up their values with tabs: only a fixed-width font keeps them in
    // columns.
    setFont(LogFont());
    m_errorFormat.setForeground(ErrorColour(palette()));
    InstallAccelerators();
}

CChildView::~CChildView()
{
    Detach();
}

void CChildView::InstallAccelerators()
{
    // The editing keys of the accelerator table act on the log: copy works, the keys that
    // would change the text do nothing on a read-only log.
    for (const AcceleratorResource& accelerator : MainAcceleratorResource()) {
        auto* action = new QAction(this);
        action->setShortcut(accelerator.key);
        action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        if (accelerator.id == ID_EDIT_COPY) {
            connect(action, &QAction::triggered, this, &QPlainTextEdit::copy);
        }
        addAction(action);
    }
}

void CChildView::SetDriveReport(std::function<std::string()> report)
{
    m_driveReport = std::move(report);
}

void CChildView::OnInitialUpdate()
{
    std::string text = "-------------------LOG INITIALIZED--------------------\n";
    text += CTimeNow();
    text += "\n";
    if (m_driveReport) {
        text += m_driveReport();
    }
    setPlainText(QString::fromLocal8Bit(text));
    m_bAtLineStart = true;
    m_bLineIsError = m_bErrorTextNext = false;
}

int CChildView::GetLineCount() const
{
    return document()->blockCount();
}

int CChildView::GetFirstVisibleLine() const
{
    return verticalScrollBar()->value();
}

void CChildView::AppendLogText(const char* text)
{
    const int lineCount = GetLineCount();
    if (!text) {
        return;
    }
    // Insert at the end with a cursor of our own: the cost is that of the new text, and
    // the user's selection stays where it is. Ordinary lines go in as one run; only error
    // lines break it. Every run names its format, as the cursor would otherwise carry on
    // in the format of the text before it.
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    const std::string_view all(text);
    size_t runStart = 0;
    bool runIsError = m_bLineIsError;
    const auto flush = [&](size_t end) {
        if (end > runStart) {
            const std::string_view run = all.substr(runStart, end - runStart);
            cursor.insertText(QString::fromLocal8Bit(run.data(), static_cast<qsizetype>(run.size())),
                              runIsError ? m_errorFormat : m_plainFormat);
        }
        runStart = end;
    };
    for (size_t at = 0; at < all.size();) {
        const size_t newline = all.find('\n', at);
        const size_t end = newline == std::string_view::npos ? all.size() : newline + 1;
        if (m_bAtLineStart) {
            // A line is judged by its start; the rest of a line split over two texts
            // keeps its colour.
            const std::string_view body = WithoutJobPrefix(all.substr(at, end - at));
            const bool marker = body.substr(0, kErrorMarker.size()) == kErrorMarker;
            m_bLineIsError = m_bAllError || marker || m_bErrorTextNext || body.substr(0, kReason.size()) == kReason;
            m_bErrorTextNext = marker;
        }
        if (m_bLineIsError != runIsError) {
            flush(at);
            runIsError = m_bLineIsError;
        }
        m_bAtLineStart = newline != std::string_view::npos;
        at = end;
    }
    flush(all.size());
    verticalScrollBar()->setValue(std::max(0, lineCount - 30));
}

void CChildView::AppendErrorText(const char* text)
{
    m_bAllError = true;
    AppendLogText(text);
    m_bAllError = false;
}

void CChildView::changeEvent(QEvent* event)
{
    // Lines from now on take the new palette's red; those shown keep theirs.
    if (event->type() == QEvent::PaletteChange) {
        m_errorFormat.setForeground(ErrorColour(palette()));
    }
    QPlainTextEdit::changeEvent(event);
}

void CChildView::ShowCounters(const TapeCounters& counters)
{
    emit CountersShown(counters);
    if (counters.bFinal) {
        emit PaneTextChanged(0, QStringLiteral("Ready"));
        for (int pane = 1; pane <= 4; ++pane) {
            emit PaneTextChanged(pane, QStringLiteral(" "));
        }
        return;
    }
    // 64-bit counters, printed unsigned: a long load never shows a negative figure.
    emit PaneTextChanged(0, QStringLiteral("Loading file"));
    emit PaneTextChanged(1, QStringLiteral("Blks total: %1").arg(counters.nBlocksTotal));
    emit PaneTextChanged(2, QStringLiteral("Blks cur file: %1").arg(counters.nFileBlocks));
    emit PaneTextChanged(3, QStringLiteral("KB total: %1").arg(counters.nKBytesTotal));
    emit PaneTextChanged(4, QStringLiteral("KB cur file: %1").arg(counters.nFileKBytes));
}

void CChildView::ShowStatusText(const char* text)
{
    if (text) {
        emit PaneTextChanged(0, QString::fromLocal8Bit(text));
    }
}

void CChildView::WindowProc(uint32_t message, TaskMemBlock block)
{
    std::string storage;
    switch (message) {
    case UM_LOG_TEXT:
        AppendLogText(BlockText(block, storage));
        break;
    case UM_COUNTERS:
        if (block && block.size() >= sizeof(TapeCounters)) {
            TapeCounters counters;
            std::memcpy(&counters, block.data(), sizeof counters);
            ShowCounters(counters);
        }
        break;
    case UM_STATUS_TEXT:
        ShowStatusText(BlockText(block, storage));
        break;
    default:
        break;
    }
    // the block is released here, by its owner
}

void CChildView::Send(uint32_t message, TaskMemBlock block)
{
    if (std::this_thread::get_id() == m_uiThread) {
        std::optional<TapeCounters> posted;
        {
            std::lock_guard lock(m_mailLock);
            if (m_bDetached) {
                return;
            }
            posted = TakeLatestCountersLocked();
        }
        if (posted) {
            ShowCounters(*posted);
        }
        WindowProc(message, std::move(block));
        return;
    }
    // The hand-over goes through a mailbox under our own lock rather than through a
    // blocking queued call, so the order between the worker's writes and the UI thread's
    // reads is plain to every tool that checks it. The UI thread never waits here.
    std::unique_lock lock(m_mailLock);
    m_mailChanged.wait(lock, [&] { return m_bDetached || !m_pendingMail; });
    if (m_bDetached) {
        return;
    }
    m_pendingMail.emplace(Mail{message, std::move(block)});
    const uint64_t ticket = ++m_nMailPosted;
    // Queued by name: the call event is made and read inside Qt alone, and nothing of
    // it is shared with this thread's own data.
    QMetaObject::invokeMethod(this, "ProcessMail", Qt::QueuedConnection);
    m_mailChanged.wait(lock, [&] { return m_bDetached || m_nMailDone >= ticket; });
}

void CChildView::PostLatest(uint32_t message, const void* record, size_t size)
{
    TapeCounters counters;
    if (message != UM_COUNTERS || size < sizeof counters || std::this_thread::get_id() == m_uiThread) {
        NotifyWindow::PostLatest(message, record, size);
        return;
    }
    std::memcpy(&counters, record, sizeof counters);
    if (counters.bFinal) {
        NotifyWindow::PostLatest(message, record, size);
        return;
    }
    std::lock_guard lock(m_mailLock);
    if (m_bDetached) {
        return;
    }
    m_latestCounters = counters;
    if (!m_bCountersQueued) {
        m_bCountersQueued = true;
        QMetaObject::invokeMethod(this, "OnCountersPosted", Qt::QueuedConnection);
    }
}

std::optional<TapeCounters> CChildView::TakeLatestCountersLocked()
{
    std::optional<TapeCounters> counters = std::move(m_latestCounters);
    m_latestCounters.reset();
    return counters;
}

void CChildView::OnCountersPosted()
{
    if (!m_countersPause.isActive()) {
        ShowLatestCounters();
    }
}

void CChildView::ShowLatestCounters()
{
    std::optional<TapeCounters> counters;
    {
        std::lock_guard lock(m_mailLock);
        m_bCountersQueued = false;
        if (m_bDetached) {
            return;
        }
        counters = TakeLatestCountersLocked();
    }
    if (counters) {
        ShowCounters(*counters);
        m_countersPause.start();
    }
}

void CChildView::ProcessMail()
{
    std::optional<Mail> mail;
    std::optional<TapeCounters> posted;
    {
        std::lock_guard lock(m_mailLock);
        if (!m_pendingMail || m_bDetached) {
            return;
        }
        mail = std::move(m_pendingMail);
        m_pendingMail.reset();
        // counters posted before this message must not show after it
        posted = TakeLatestCountersLocked();
    }
    m_mailChanged.notify_all();  // the next sender may fill the mailbox
    if (posted) {
        ShowCounters(*posted);
    }
    // A worker's log texts come one after the other, each waiting for this thread: a
    // repaint of the log between two of them would cost the worker a paint per text. The
    // log is painted once per screen frame instead, and so are its scroll bars, which
    // move with every text.
    if (mail->message == UM_LOG_TEXT && !m_logPaintPause.isActive()) {
        setUpdatesEnabled(false);
        m_logPaintPause.start();
    }
    WindowProc(mail->message, std::move(mail->block));
    {
        std::lock_guard lock(m_mailLock);
        ++m_nMailDone;
    }
    m_mailChanged.notify_all();
}

void CChildView::Detach()
{
    {
        std::lock_guard lock(m_mailLock);
        m_bDetached = true;
        m_pendingMail.reset();
        m_latestCounters.reset();
    }
    m_mailChanged.notify_all();
}
