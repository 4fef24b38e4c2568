// The log view on its own, without a frame: appending and scrolling, the editing keys on a
// read-only log, and the pane texts the counter and status messages report, also when a
// worker posts counters without waiting. (The frame's panes themselves are tested with the
// frame.)
#include "view/ChildView.h"

#include <QClipboard>
#include <QElapsedTimer>
#include <QScrollBar>
#include <QTextBlock>
#include <QTest>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

namespace {

void SendBlock(CChildView& view, uint32_t message, const void* data, size_t size)
{
    TaskMemBlock block = TaskMemBlock::Alloc(size);
    std::memcpy(block.data(), data, size);
    view.Send(message, std::move(block));
}

void SendText(CChildView& view, uint32_t message, const std::string& text)
{
    SendBlock(view, message, text.c_str(), text.size() + 1);
}

void SendCounters(CChildView& view, TapeCounters counters)
{
    SendBlock(view, UM_COUNTERS, &counters, sizeof counters);
}

void PostCounters(CChildView& view, TapeCounters counters)
{
    view.PostLatest(UM_COUNTERS, &counters, sizeof counters);
}

// Runs work on a thread of its own while the UI thread handles events, as a job's worker.
void RunWorker(const std::function<void()>& work)
{
    std::atomic<bool> done{false};
    std::thread worker([&] {
        work();
        done = true;
    });
    while (!done) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    worker.join();
}

// The texts the view reported for the five panes, as the frame would show them; a pane
// never reported stays as it started.
class PaneRecorder {
public:
    explicit PaneRecorder(CChildView& view)
    {
        QObject::connect(&view, &CChildView::PaneTextChanged, &view, [this](int pane, const QString& text) {
            ++m_nReports;
            if (pane >= 0 && pane < static_cast<int>(m_texts.size())) {
                m_texts[pane] = text;
            }
        });
    }
    QString GetPaneText(int pane) const { return m_texts.at(pane); }
    int Reports() const { return m_nReports; }

private:
    std::vector<QString> m_texts = std::vector<QString>(5, QStringLiteral("untouched"));
    int m_nReports = 0;
};

QString Lines(int count)
{
    QStringList lines;
    for (int i = 0; i < count; ++i) {
        lines << QStringLiteral("line %1").arg(i);
    }
    return lines.join(QLatin1Char('\n'));
}

} // namespace

class TestGuiView : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        m_view = std::make_unique<CChildView>();
        m_panes = std::make_unique<PaneRecorder>(*m_view);
        m_view->OnInitialUpdate();
        // about 20 lines visible: the N - 30 scroll position is reachable for 100 lines
        m_view->resize(800, 370);
        m_view->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_view.get()));
    }
    void cleanup()
    {
        m_panes.reset();
        m_view.reset();
    }

    void appendingAddsTextAtTheEnd()
    {
        CChildView& view = *m_view;
        const QString before = view.toPlainText();
        SendText(view, UM_LOG_TEXT, "[00][TAPE0] -- Rewinding\n\n");
        SendText(view, UM_LOG_TEXT, "no line end yet");
        SendText(view, UM_LOG_TEXT, ", now\n");
        QCOMPARE(view.toPlainText(), before + QStringLiteral("[00][TAPE0] -- Rewinding\n\nno line end yet, now\n"));
    }

    void errorLinesShowInRedAndKeepTheirText()
    {
        CChildView& view = *m_view;
        const QString before = view.toPlainText();
        const int first = view.GetLineCount() - 1;  // the banner ends with a line end
        const std::vector<std::string> texts = {
            "[00][TAPE0] -- Reading file 0\n[00][TAPE0] -- --//--//-- ERROR --//--//--\n",
            "[00][TAPE0] -- Couldn't create file on disk\n",
            "[00][TAPE0] -- Reason: permission denied: '/x/file0000.part'\n[00][TAPE0] -- Tape rewinded\n",
            "[12][TAPE3] -- Reason: a line sent ",
            "in two texts\n[00][TAPE0] -- File 3. Reason: none\n",
            "Reason: without a prefix\n[00][TAPE0]Reason: no prefix either\n\n",
        };
        // line by line, counted from the first appended one
        const std::vector<bool> red = {false, true, true, true, false, true, false, true, false, false};
        QString all;
        for (const std::string& text : texts) {
            SendText(view, UM_LOG_TEXT, text);
            all += QString::fromStdString(text);
        }
        QCOMPARE(view.toPlainText(), before + all);  // what Save log writes

        const QColor text = view.palette().color(QPalette::Text);
        for (int line = 0; line < static_cast<int>(red.size()); ++line) {
            const QTextBlock block = view.document()->findBlockByNumber(first + line);
            QVERIFY(block.isValid());
            for (auto it = block.begin(); !it.atEnd(); ++it) {
                const QTextCharFormat format = it.fragment().charFormat();
                const bool coloured = format.hasProperty(QTextFormat::ForegroundBrush)
                                      && format.foreground().color() != text;
                QVERIFY2(coloured == red[line], qPrintable(block.text()));
            }
        }
    }

    void errorRedStandsOffLightAndDarkLogs()
    {
        CChildView& view = *m_view;
        for (const QColor& base : {QColor(Qt::white), QColor(0x23, 0x26, 0x29)}) {
            QPalette palette = view.palette();
            palette.setColor(QPalette::Base, base);
            view.setPalette(palette);
            SendText(view, UM_LOG_TEXT, "[00][TAPE0] -- Reason: no tape\n");
            const QTextBlock block = view.document()->findBlockByNumber(view.GetLineCount() - 2);
            const QColor red = block.begin().fragment().charFormat().foreground().color();
            QVERIFY2(qAbs(red.lightness() - base.lightness()) > 100, qPrintable(red.name() + " on " + base.name()));
            QVERIFY((red.hslHue() < 15 || red.hslHue() > 345) && red.hslSaturation() > 100);
        }
    }

    void appendingScrollsToThirtyLinesAboveThePreviousEnd_data()
    {
        QTest::addColumn<int>("lines");
        QTest::addColumn<int>("firstVisible");
        QTest::newRow("10 lines") << 10 << 0;
        QTest::newRow("30 lines") << 30 << 0;
        QTest::newRow("31 lines") << 31 << 1;
        QTest::newRow("100 lines") << 100 << 70;
    }
    void appendingScrollsToThirtyLinesAboveThePreviousEnd()
    {
        QFETCH(int, lines);
        QFETCH(int, firstVisible);
        CChildView& view = *m_view;
        view.setPlainText(Lines(lines));
        view.verticalScrollBar()->setValue(0);
        QCOMPARE(view.GetLineCount(), lines);
        SendText(view, UM_LOG_TEXT, "appended\nmore\n");
        QCOMPARE(view.GetFirstVisibleLine(), firstVisible);
        QCOMPARE(view.GetLineCount(), lines + 2);
    }

    void nullTextChangesNothing()
    {
        CChildView& view = *m_view;
        view.setPlainText(Lines(100));
        view.verticalScrollBar()->setValue(12);
        const QString before = view.toPlainText();
        view.Send(UM_LOG_TEXT, TaskMemBlock());
        view.AppendLogText(nullptr);
        QCOMPARE(view.toPlainText(), before);
        QCOMPARE(view.GetFirstVisibleLine(), 12);
    }

    void textWithoutTerminatorStopsAtTheBlockEnd()
    {
        CChildView& view = *m_view;
        const QString before = view.toPlainText();
        SendBlock(view, UM_LOG_TEXT, "abc", 3);
        QCOMPARE(view.toPlainText(), before + QStringLiteral("abc"));
    }

    void typingAndEditingKeysChangeNothing()
    {
        CChildView& view = *m_view;
        view.setFocus();
        QGuiApplication::clipboard()->setText(QStringLiteral("pasted"));
        const QString before = view.toPlainText();
        QTest::keyClicks(&view, QStringLiteral("typed"));
        QTest::keyClick(&view, Qt::Key_Return);
        QTest::keyClick(&view, Qt::Key_Backspace);
        QTest::keyClick(&view, Qt::Key_V, Qt::ControlModifier);
        QTest::keyClick(&view, Qt::Key_Insert, Qt::ShiftModifier);
        view.selectAll();
        QTest::keyClick(&view, Qt::Key_X, Qt::ControlModifier);
        QTest::keyClick(&view, Qt::Key_Delete, Qt::ShiftModifier);
        QTest::keyClick(&view, Qt::Key_Delete);
        QTest::keyClick(&view, Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(view.toPlainText(), before);
    }

    void selectionCopiesWithControlCAndControlInsert()
    {
        CChildView& view = *m_view;
        view.setPlainText(QStringLiteral("first line\nsecond line\n"));
        view.setFocus();
        view.selectAll();
        QGuiApplication::clipboard()->clear();
        QTest::keyClick(&view, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("first line\nsecond line\n"));

        QTextCursor cursor = view.textCursor();
        cursor.setPosition(0);
        cursor.setPosition(5, QTextCursor::KeepAnchor);
        view.setTextCursor(cursor);
        QGuiApplication::clipboard()->clear();
        QTest::keyClick(&view, Qt::Key_Insert, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("first"));
    }

    void appendingKeepsTheUsersSelection()
    {
        CChildView& view = *m_view;
        view.setPlainText(QStringLiteral("keep me\n"));
        QTextCursor cursor = view.textCursor();
        cursor.setPosition(0);
        cursor.setPosition(4, QTextCursor::KeepAnchor);
        view.setTextCursor(cursor);
        SendText(view, UM_LOG_TEXT, "later text\n");
        QCOMPARE(view.textCursor().selectedText(), QStringLiteral("keep"));
    }

    void countersShowLoadingFileAndFourFigures()
    {
        CChildView& view = *m_view;
        SendCounters(view, {1234, 56, 4096, 128, 0});
        QCOMPARE(m_panes->GetPaneText(0), QStringLiteral("Loading file"));
        QCOMPARE(m_panes->GetPaneText(1), QStringLiteral("Blks total: 1234"));
        QCOMPARE(m_panes->GetPaneText(2), QStringLiteral("Blks cur file: 56"));
        QCOMPARE(m_panes->GetPaneText(3), QStringLiteral("KB total: 4096"));
        QCOMPARE(m_panes->GetPaneText(4), QStringLiteral("KB cur file: 128"));
    }

    void largeCountersPrintUnsigned()
    {
        CChildView& view = *m_view;
        SendCounters(view, {2147483648ULL, 4294967296ULL, 18446744073709551615ULL, 5000000000ULL, 0});
        QCOMPARE(m_panes->GetPaneText(1), QStringLiteral("Blks total: 2147483648"));
        QCOMPARE(m_panes->GetPaneText(2), QStringLiteral("Blks cur file: 4294967296"));
        QCOMPARE(m_panes->GetPaneText(3), QStringLiteral("KB total: 18446744073709551615"));
        QCOMPARE(m_panes->GetPaneText(4), QStringLiteral("KB cur file: 5000000000"));
    }

    void finalCountersShowReadyAndBlankPanes()
    {
        CChildView& view = *m_view;
        SendCounters(view, {1234, 56, 4096, 128, 0});
        SendCounters(view, {7, 8, 9, 10, 1});
        QCOMPARE(m_panes->GetPaneText(0), QStringLiteral("Ready"));
        for (int pane = 1; pane <= 4; ++pane) {
            QCOMPARE(m_panes->GetPaneText(pane), QStringLiteral(" "));
        }
    }

    void statusTextChangesOnlyTheFirstPane()
    {
        CChildView& view = *m_view;
        SendCounters(view, {1, 2, 3, 4, 0});
        SendText(view, UM_STATUS_TEXT, "Rewinding");
        QCOMPARE(m_panes->GetPaneText(0), QStringLiteral("Rewinding"));
        QCOMPARE(m_panes->GetPaneText(1), QStringLiteral("Blks total: 1"));
        QCOMPARE(m_panes->GetPaneText(2), QStringLiteral("Blks cur file: 2"));
        QCOMPARE(m_panes->GetPaneText(3), QStringLiteral("KB total: 3"));
        QCOMPARE(m_panes->GetPaneText(4), QStringLiteral("KB cur file: 4"));
    }

    void shortCounterBlockIsIgnored()
    {
        CChildView& view = *m_view;
        const QString before = m_panes->GetPaneText(1);
        const uint32_t half[2] = {5, 6};
        SendBlock(view, UM_COUNTERS, half, sizeof half);
        view.Send(UM_COUNTERS, TaskMemBlock());
        QCOMPARE(m_panes->GetPaneText(1), before);
        QCOMPARE(m_panes->Reports(), 0);
    }

    void countersFromAWorkerNeitherWaitForTheUiThreadNorGetLost()
    {
        CChildView& view = *m_view;
        // nothing handles events while the worker posts: it must not wait for that
        std::atomic<bool> done{false};
        std::thread worker([&] {
            for (uint64_t n = 1; n <= 10000; ++n) {
                PostCounters(view, {n, n + 1, n + 2, n + 3, 0});
            }
            done = true;
        });
        QElapsedTimer clock;
        clock.start();
        while (!done && clock.elapsed() < 10000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const bool postedWithoutWaiting = done;
        const int reportsMeanwhile = m_panes->Reports();
        while (!done) {
            QCoreApplication::processEvents();  // a worker that waits for the view is let go
        }
        worker.join();
        QVERIFY(postedWithoutWaiting);
        QCOMPARE(reportsMeanwhile, 0);
        QTRY_COMPARE(m_panes->GetPaneText(1), QStringLiteral("Blks total: 10000"));
        QCOMPARE(m_panes->GetPaneText(0), QStringLiteral("Loading file"));
        QCOMPARE(m_panes->GetPaneText(2), QStringLiteral("Blks cur file: 10001"));
        QCOMPARE(m_panes->GetPaneText(3), QStringLiteral("KB total: 10002"));
        QCOMPARE(m_panes->GetPaneText(4), QStringLiteral("KB cur file: 10003"));
        // and a late show of anything older does not follow
        QTest::qWait(50);
        QCOMPARE(m_panes->GetPaneText(1), QStringLiteral("Blks total: 10000"));
    }

    void burstOfCountersEndsShowingTheFinalRecordAtFrameRate()
    {
        CChildView& view = *m_view;
        QElapsedTimer clock;
        clock.start();
        QVERIFY(ShowOneRecordFromAWorker());
        RunWorker([&] {
            for (uint64_t n = 2; n <= 20000; ++n) {
                PostCounters(view, {n, n, n, n, 0});
            }
            PostCounters(view, {20000, 20000, 20000, 20000, 1});
        });
        const qint64 elapsedMs = clock.elapsed();
        QCOMPARE(m_panes->GetPaneText(0), QStringLiteral("Ready"));
        // counters still on their way must not show over the end of the job
        QTest::qWait(50);
        QCOMPARE(m_panes->GetPaneText(0), QStringLiteral("Ready"));
        for (int pane = 1; pane <= 4; ++pane) {
            QCOMPARE(m_panes->GetPaneText(pane), QStringLiteral(" "));
        }
        // five reports per show: no more shows than screen frames, and the final one
        const int shows = m_panes->Reports() / 5;
        QVERIFY2(shows <= elapsedMs / 10 + 4, qPrintable(QStringLiteral("%1 shows in %2 ms").arg(shows).arg(elapsedMs)));
    }

    void statusTextAfterCountersIsWhatTheFirstPaneShows()
    {
        CChildView& view = *m_view;
        QVERIFY(ShowOneRecordFromAWorker());
        RunWorker([&] {
            for (uint64_t n = 2; n <= 5000; ++n) {
                PostCounters(view, {n, 1, 2, 3, 0});
            }
            SendText(view, UM_STATUS_TEXT, "Rewinding");
        });
        QCOMPARE(m_panes->GetPaneText(0), QStringLiteral("Rewinding"));
        QCOMPARE(m_panes->GetPaneText(1), QStringLiteral("Blks total: 5000"));
        QTest::qWait(50);
        QCOMPARE(m_panes->GetPaneText(0), QStringLiteral("Rewinding"));
        QCOMPARE(m_panes->GetPaneText(1), QStringLiteral("Blks total: 5000"));
    }

    void logTextsFromAWorkerArePaintedWithinAFrame()
    {
        CChildView& view = *m_view;
        const QString before = view.toPlainText();
        QString expected;
        RunWorker([&] {
            for (int i = 0; i < 50; ++i) {
                SendText(view, UM_LOG_TEXT, "text " + std::to_string(i) + "\n");
            }
        });
        for (int i = 0; i < 50; ++i) {
            expected += QStringLiteral("text %1\n").arg(i);
        }
        QCOMPARE(view.toPlainText(), before + expected);
        // the paint of the log may wait for the end of a screen frame, not for ever
        QTRY_VERIFY_WITH_TIMEOUT(view.viewport()->updatesEnabled(), 1000);
    }

private:
    // A record posted by a worker, handled until the panes show it: the pause before the
    // next show has just begun, so what a worker posts next waits in the slot.
    bool ShowOneRecordFromAWorker()
    {
        std::thread([this] { PostCounters(*m_view, {1, 1, 1, 1, 0}); }).join();
        QElapsedTimer clock;
        clock.start();
        while (m_panes->GetPaneText(1) != QStringLiteral("Blks total: 1") && clock.elapsed() < 5000) {
            QCoreApplication::processEvents();
        }
        return m_panes->GetPaneText(1) == QStringLiteral("Blks total: 1");
    }

    std::unique_ptr<CChildView> m_view;
    std::unique_ptr<PaneRecorder> m_panes;
};

QTEST_MAIN(TestGuiView)
#include "tst_gui_view.moc"
