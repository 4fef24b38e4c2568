// The frame with tape jobs running on worker threads: what is enabled while a job runs,
// breaking rewinds and loads, the device a job gets, a whole load on a virtual drive as
// the log shows it, the worker-to-view hand-over, and closing while a job runs.
#include "app/JobEndStatus.h"
#include "app/KellovaranApp.h"
#include "app/MainFrame.h"
#include "dialogs/CLoadAllFilesDialog.h"
#include "dialogs/CTapeContentsDialog.h"
#include "dialogs/TapeImageFileDialog.h"
#include "platform/DeviceNamespace.h"
#include "platform/ImageFormat.h"
#include "platform/SimhTapeWriter.h"
#include "res/Resource.h"
#include "tape/TapeJob.h"
#include "tests/common/TestSupport.h"
#include "tests/gui/GuiTestSupport.h"
#include "testsupport/SimulatedAspiBus.h"
#include "view/ChildView.h"
#include "view/TapeMapView.h"

#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QProgressBar>
#include <QUrl>
#include <QPushButton>
#include <QStatusBar>
#include <QTableWidget>
#include <QTest>
#include <QTextBlock>

#include <atomic>
#include <cstring>
#include <thread>

namespace {

bool Enabled(const CMainFrame& frame, int id)
{
    return frame.GetAction(id)->isEnabled();
}

std::pair<uint32_t, uint32_t> BreakRequest(const CMainFrame& frame)
{
    uint32_t immediately = 0;
    const uint32_t requested = frame.m_jobs.GetBreakRequest(immediately);
    return {requested, immediately};
}

// "Load  files from tape..." with these values typed into the dialog, confirmed with Load.
bool StartLoad(CMainFrame& frame, const std::string& path, const std::string& selection = "*")
{
    auto answer = ModalAnswer::When<CLoadAllFilesDialog>([&](CLoadAllFilesDialog* dialog) {
        dialog->GetEdit(IDC_PATH)->setText(QString::fromStdString(path));
        dialog->GetEdit(IDC_SELECTION)->setText(QString::fromStdString(selection));
        QTest::mouseClick(static_cast<QPushButton*>(dialog->GetDlgItem(IDOK)), Qt::LeftButton);
    });
    frame.OnLoadFiles();
    return answer->Answered();
}

// "Break operation", answering the question (if one comes) with the given button.
bool Break(CMainFrame& frame, QMessageBox::StandardButton button)
{
    auto answer = ModalAnswer::When<QMessageBox>(
        [&](QMessageBox* box) {
            if (box->windowTitle() == QStringLiteral("Kellovaran")
                && box->text()
                       == QStringLiteral(
                           "Operation may be broken immediately or after current file is read.\n Break immediately?")) {
                box->button(button)->click();
            }
        },
        1000);
    frame.OnBreak();
    return answer->Answered();
}

// Asks the frame to close while a job runs and gives the answer to its question.
bool CloseAnswering(CMainFrame& frame, QMessageBox::StandardButton button, bool& closed)
{
    auto answer = ModalAnswer::When<QMessageBox>(
        [&](QMessageBox* box) {
            if (box->text() == QStringLiteral("A tape job is running. Stop it and close the window?"))
                box->button(button)->click();
        },
        1000);
    closed = frame.close();
    return answer->Answered();
}

bool WaitForIdle(CMainFrame& frame)
{
    if (!QTest::qWaitFor([&] { return frame.m_jobs.GetJobCount() == 0; }, 20000)) {
        return false;
    }
    // the enable rules follow the end of the job, which the job list announces
    return QTest::qWaitFor([&] { return Enabled(frame, ID_LOAD_FILES); }, 5000);
}

std::string Tail(const std::string& text, size_t from)
{
    return from <= text.size() ? text.substr(from) : std::string();
}

// Whether the last log line that starts with prefix is shown in the error colour.
bool LastLineIsRed(const CMainFrame& frame, const QString& prefix)
{
    const CChildView* view = frame.GetView();
    for (QTextBlock block = view->document()->lastBlock(); block.isValid(); block = block.previous()) {
        if (block.text().startsWith(prefix)) {
            const QTextCharFormat format = block.begin().fragment().charFormat();
            return format.hasProperty(QTextFormat::ForegroundBrush)
                   && format.foreground().color() != view->palette().color(QPalette::Text);
        }
    }
    return false;
}

} // namespace

class TestGuiJobs : public QObject {
    Q_OBJECT

private slots:
    void init() { UseNoAspi(); }

    void runningJobDisablesTheTapeCommandsButNotSelectTape()
    {
        GatedDrives drives;
        auto frame = MakeFrame();
        frame->OnRewind();
        QTRY_COMPARE(drives.gate->Waiting(), 1);
        frame->UpdateCommandUI();
        QVERIFY(!Enabled(*frame, ID_LOAD_FILES));
        QVERIFY(!Enabled(*frame, ID_REWIND));
        QVERIFY(!Enabled(*frame, ID_EJECT));
        QVERIFY(Enabled(*frame, ID_SELECT_TAPE));
        QVERIFY(Enabled(*frame, ID_BREAK));
        QCOMPARE(frame->GetPaneText(0), QStringLiteral("Rewinding"));
        // a second command while one runs starts nothing
        frame->OnEject();
        QCOMPARE(frame->m_jobs.GetJobCount(), 1u);

        drives.gate->Open();
        QVERIFY(WaitForIdle(*frame));
        QVERIFY(!Enabled(*frame, ID_BREAK));
        QCOMPARE(frame->GetPaneText(0), QStringLiteral("Ready"));
        const std::string log = LogText(*frame);
        QVERIFY(log.find("[00][TAPE0] -- Rewinding\n[00][TAPE0] -- Tape rewinded\n\n") != std::string::npos);
        QCOMPARE(drives.OpenedIndices(), std::vector<int>{0});
    }

    void breakDuringRewindAsksNothing()
    {
        GatedDrives drives;
        auto frame = MakeFrame();
        frame->OnRewind();
        QTRY_COMPARE(drives.gate->Waiting(), 1);
        QVERIFY(!Break(*frame, QMessageBox::No));
        QCOMPARE(BreakRequest(*frame), std::make_pair(1u, 1u));
        QVERIFY(!Enabled(*frame, ID_BREAK));
        drives.gate->Open();
        QVERIFY(WaitForIdle(*frame));
    }

    void breakDuringLoadAsksWhenToBreak()
    {
        TempDir out;
        GatedDrives drives;
        auto frame = MakeFrame();
        QVERIFY(StartLoad(*frame, out.path()));
        QTRY_COMPARE(drives.gate->Waiting(), 1);  // held at its first rewind
        QCOMPARE(BreakRequest(*frame), std::make_pair(0u, 1u));

        // Backing out of the question, with Cancel or Escape, leaves the load running.
        QVERIFY(Break(*frame, QMessageBox::Cancel));
        QCOMPARE(BreakRequest(*frame), std::make_pair(0u, 1u));
        auto escape = ModalAnswer::When<QMessageBox>(
            [](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Escape); }, 1000);
        frame->OnBreak();
        QVERIFY(escape->Answered());
        QCOMPARE(BreakRequest(*frame), std::make_pair(0u, 1u));
        QVERIFY(!frame->IsBreakPendingShown());

        QVERIFY(Break(*frame, QMessageBox::No));
        QCOMPARE(BreakRequest(*frame), std::make_pair(1u, 0u));
        QVERIFY(Enabled(*frame, ID_BREAK));
        QVERIFY(frame->IsBreakPendingShown());  // the status bar says a break waits for the file's end

        QVERIFY(Break(*frame, QMessageBox::Yes));
        QCOMPARE(BreakRequest(*frame), std::make_pair(1u, 1u));
        QVERIFY(!Enabled(*frame, ID_BREAK));
        QVERIFY(!frame->IsBreakPendingShown());

        drives.gate->Open();
        QVERIFY(WaitForIdle(*frame));
        // the break was there before the first file: the load read nothing and skipped the
        // final rewind
        const std::string log = LogText(*frame);
        QVERIFY(log.find("READ SESSION SUMMARY") != std::string::npos);
        QVERIFY(log.find("Blocks read\t\t: 0\n") != std::string::npos);
        QCOMPARE(frame->GetPaneText(0), QStringLiteral("Stopped by user"));
    }

    // The figures beside the panes: a bar with the share of the image read, the line with
    // the rest; gone with the final counters.
    void progressFiguresShowBesideThePanes()
    {
        UseNoAspi();
        auto frame = MakeFrame();
        TapeCounters counters{1234567, 56, 155302, 128, 0};
        counters.nMediumDone = 370;
        counters.nMediumTotal = 1000;
        auto post = [&] {
            TaskMemBlock block = TaskMemBlock::Alloc(sizeof counters);
            std::memcpy(block.data(), &counters, sizeof counters);
            frame->GetView()->Send(UM_COUNTERS, std::move(block));
        };
        post();
        QTRY_VERIFY(frame->GetProgressText().contains(QStringLiteral("37 %")));
        auto* bar = frame->findChild<QProgressBar*>(QStringLiteral("ProgressBar"));
        QVERIFY(bar && !bar->isHidden());
        QCOMPARE(bar->value(), 37);
        QCOMPARE(frame->GetPaneText(1), QStringLiteral("Blks total: 1234567"));  // the program's own pane as it was
        counters.bFinal = 1;
        post();
        QTRY_VERIFY(frame->GetProgressText().isEmpty());
        QVERIFY(bar->isHidden());
    }

    void failedLoadSaysSoUntilTheNextJobStarts()
    {
        TempDir dir;
        const std::string image = dir / "tape.tap";
        std::string error;
        QVERIFY(WriteTapeImage(image, {{"alpha"}}, error));
        DeviceNamespace::SetTapeImages({image});
        // No folder can be made under a plain file, not even by root.
        WriteWholeFile(dir / "plain", "x");
        auto frame = MakeFrame();
        QVERIFY(StartLoad(*frame, dir / "plain/out"));
        QVERIFY(WaitForIdle(*frame));
        const QString failed = frame->GetPaneText(0);
        QVERIFY2(failed.startsWith(QStringLiteral("Failed")), qPrintable(failed));
        QCOMPARE(frame->m_jobs.GetLastResult(), TapeJobResult::Failed);
        QCOMPARE(failed, QString::fromStdString(JobEndStatusText(TapeJobResult::Failed, frame->m_jobs.GetLastFailure())));
        // a command prompt passing over the pane gives it back, not "Ready"
        frame->statusBar()->showMessage(PromptStatusText(ID_REWIND));
        frame->statusBar()->clearMessage();
        QCOMPARE(frame->GetPaneText(0), failed);

        // the next job's own messages and end decide from then on
        QVERIFY(StartLoad(*frame, dir / "out"));
        QVERIFY(WaitForIdle(*frame));
        DeviceNamespace::SetTapeImages({});
        QCOMPARE(frame->GetPaneText(0), QStringLiteral("Ready"));
        frame->statusBar()->showMessage(PromptStatusText(ID_REWIND));
        frame->statusBar()->clearMessage();
        QCOMPARE(frame->GetPaneText(0), QStringLiteral("Ready"));
        QCOMPARE(ReadWholeFile(dir / "out/file0000"), std::string("alpha"));
    }

    void secondDriveChangesTitleAndTheNextJobsDevice()
    {
        UseAspiWithTwoDrives();
        GatedDrives drives;
        drives.gate->Open();
        auto frame = MakeFrame();
        frame->OnRewind();
        QVERIFY(WaitForIdle(*frame));

        auto answer = ModalAnswer::When<QDialog>([](QDialog* dialog) {
            auto* combo = dialog->findChild<QComboBox*>();
            combo->setCurrentIndex(1);
            QTest::mouseClick(dialog->findChild<QPushButton*>(QString::number(IDOK)), Qt::LeftButton);
        });
        frame->OnSelectTape();
        QVERIFY(answer->Answered());
        QCOMPARE(frame->windowTitle(), QStringLiteral("Kellovaran    ([0:5] -- ZETA -- Z2)"));

        frame->OnEject();
        QVERIFY(WaitForIdle(*frame));
        QCOMPARE(drives.OpenedIndices(), (std::vector<int>{0, 1}));
        const std::string log = LogText(*frame);
        QVERIFY(log.find("[00][TAPE0] -- Rewinding\n") != std::string::npos);
        QVERIFY(log.find("[01][TAPE1] -- Ejecting\n") != std::string::npos);
    }

    void selectTapeDuringAJobAffectsOnlyLaterJobs()
    {
        GatedDrives drives;
        auto frame = MakeFrame();
        frame->OnRewind();
        QTRY_COMPARE(drives.gate->Waiting(), 1);
        auto answer = ModalAnswer::When<QDialog>([](QDialog* dialog) {
            dialog->findChild<QComboBox*>()->setCurrentIndex(3);
            QTest::mouseClick(dialog->findChild<QPushButton*>(QString::number(IDOK)), Qt::LeftButton);
        });
        frame->OnSelectTape();
        QVERIFY(answer->Answered());
        QCOMPARE(frame->windowTitle(), QStringLiteral("Kellovaran    (TAPE3)"));
        drives.gate->Open();
        QVERIFY(WaitForIdle(*frame));
        QVERIFY(LogText(*frame).find("[00][TAPE0] -- Tape rewinded") != std::string::npos);
        frame->OnRewind();
        QVERIFY(WaitForIdle(*frame));
        QVERIFY(LogText(*frame).find("[01][TAPE3] -- Tape rewinded") != std::string::npos);
    }

    void confirmedLoadDialogValuesOpenTheNextDialog()
    {
        TempDir out;
        GatedDrives drives;
        drives.gate->Open();
        auto frame = MakeFrame();
        QVERIFY(StartLoad(*frame, out.path(), "0-1"));
        QVERIFY(WaitForIdle(*frame));
        QCOMPARE(frame->m_strPath, out.path());
        QCOMPARE(frame->m_strSelection, std::string("0-1"));

        QString shownPath, shownSelection;
        auto answer = ModalAnswer::When<CLoadAllFilesDialog>([&](CLoadAllFilesDialog* dialog) {
            shownPath = dialog->GetEdit(IDC_PATH)->text();
            shownSelection = dialog->GetEdit(IDC_SELECTION)->text();
            QTest::mouseClick(static_cast<QPushButton*>(dialog->GetDlgItem(IDCANCEL)), Qt::LeftButton);
        });
        frame->OnLoadFiles();
        QVERIFY(answer->Answered());
        QCOMPARE(shownPath, QString::fromStdString(out.path()));
        QCOMPARE(shownSelection, QStringLiteral("0-1"));
        QCOMPARE(ReadWholeFile(out / "file0000"), std::string("block-ablock-b"));
        QCOMPARE(ReadWholeFile(out / "file0001"), std::string("block-c"));
    }

    void wholeLoadShowsWhatTheEngineReports()
    {
        TempDir dir;
        const std::string image = dir / "tape.tap";
        std::string error;
        QVERIFY(WriteTapeImage(image, {{"alpha", std::string(3000, 'b')}, {"c"}, {std::string(70000, 'd'), "e"}},
                               error));
        DeviceNamespace::SetTapeImages({image});
        const std::string out = dir / "out";

        // the engine on its own, reporting to a recorder
        RecordingNotify recorder;
        {
            TapeJobList list;
            TapeJob* job = list.AddJob(out, "file", "*", 0, &list, &recorder, TAPE_JOB_LOAD);
            LoadThreadProc(job);
        }
        const std::string expected = MaskTimes(recorder.Log());
        QVERIFY(expected.find("READ SESSION SUMMARY") != std::string::npos);

        // the same load from the window
        auto frame = MakeFrame();
        const size_t startup = LogText(*frame).size();
        QVERIFY(StartLoad(*frame, out));
        QVERIFY(WaitForIdle(*frame));
        DeviceNamespace::SetTapeImages({});
        QCOMPARE(MaskTimes(Tail(LogText(*frame), startup)), expected);
        QCOMPARE(frame->GetPaneText(0), QStringLiteral("Ready"));
        QCOMPARE(frame->GetPaneText(1), QStringLiteral(" "));
        QCOMPARE(ReadWholeFile(out + "/file0002"), std::string(70000, 'd') + "e");
        QVERIFY(FileExists(out + "/file.sha256"));  // the window writes them unless told not to
        QVERIFY(FileExists(out + "/file.json"));

        // The map of the load is open and shows the same tape as the map file beside the report.
        TapeMapView* map = frame->GetMapView();
        frame->UpdateCommandUI();
        QVERIFY(frame->GetAction(ID_VIEW_TAPE_MAP)->isChecked());
        map->Refresh();
        QVERIFY(!map->Shown().running);
        QCOMPARE(map->Shown().files.size(), size_t(3));
        QCOMPARE(map->Shown().Count(MapState::Good), uint64_t(5));
        QCOMPARE(map->Shown().Count(MapState::Bad), uint64_t(0));
        QCOMPARE(MapJson(map->Shown()), ReadWholeFile(out + "/file.map.json"));
    }

    // Tools > "Tape contents...": the scan's report goes to a folder of the temporary one that
    // is gone once the list has been shown, and the ticked files are the next load's selection.
    void tapeContentsListsTheTapeAndTheTicksBecomeTheNextSelection()
    {
        TempDir dir;
        const std::string image = dir / "tape.tap";
        std::string error;
        QVERIFY(WriteTapeImage(image, {{"alpha"}, {"b", "c"}, {"d"}}, error));
        DeviceNamespace::SetTapeImages({image});
        QVERIFY(QDir().mkpath(QString::fromStdString(dir / "tmp")));
        const QByteArray oldTmp = qgetenv("TMPDIR");
        qputenv("TMPDIR", QByteArray::fromStdString(dir / "tmp"));
        auto frame = MakeFrame();
        frame->m_strPath = dir / "out";
        int rows = 0;
        auto answer = ModalAnswer::When<CTapeContentsDialog>([&](CTapeContentsDialog* dialog) {
            rows = dialog->GetTable()->rowCount();
            dialog->GetTable()->item(0, 0)->setCheckState(Qt::Checked);
            dialog->GetTable()->item(2, 0)->setCheckState(Qt::Checked);
            QTest::mouseClick(dialog->GetOkButton(), Qt::LeftButton);
        });
        frame->OnTapeContents();
        QVERIFY(QTest::qWaitFor([&] { return answer->Answered(); }, 20000));
        QVERIFY(WaitForIdle(*frame));
        DeviceNamespace::SetTapeImages({});
        if (oldTmp.isNull())
            qunsetenv("TMPDIR");
        else
            qputenv("TMPDIR", oldTmp);
        QCOMPARE(rows, 3);
        QCOMPARE(frame->m_strSelection, std::string("0,2"));
        QVERIFY(QDir(QString::fromStdString(dir / "tmp")).isEmpty());
        QVERIFY(!FileExists(dir / "out"));  // the load's folder is not touched

        std::string offered;
        auto next = ModalAnswer::When<CLoadAllFilesDialog>([&](CLoadAllFilesDialog* dialog) {
            offered = dialog->GetEdit(IDC_SELECTION)->text().toStdString();
            dialog->reject();
        });
        frame->OnLoadFiles();
        QVERIFY(next->Answered());
        QCOMPARE(offered, std::string("0,2"));
    }

    void writeChecksumsAndReportIsACheckedChoiceTheNextLoadTakes()
    {
        TempDir dir;
        const std::string image = dir / "tape.tap";
        std::string error;
        QVERIFY(WriteTapeImage(image, {{"alpha"}}, error));
        DeviceNamespace::SetTapeImages({image});
        auto frame = MakeFrame();
        QAction* item = frame->GetAction(ID_WRITE_REPORT);
        QVERIFY(item->isCheckable());
        QVERIFY(item->isChecked());
        item->trigger();
        QVERIFY(!item->isChecked());
        QVERIFY(!frame->m_loadOptions.writeChecksumsAndReport);
        QVERIFY(StartLoad(*frame, dir / "off"));
        QVERIFY(WaitForIdle(*frame));
        QCOMPARE(ReadWholeFile(dir / "off/file0000"), std::string("alpha"));
        QVERIFY(!FileExists(dir / "off/file.sha256"));
        QVERIFY(!FileExists(dir / "off/file.json"));
        item->trigger();
        QVERIFY(item->isChecked());
        QVERIFY(StartLoad(*frame, dir / "on"));
        QVERIFY(WaitForIdle(*frame));
        DeviceNamespace::SetTapeImages({});
        QVERIFY(FileExists(dir / "on/file.sha256"));
    }

    void tapeImagesOnTheCommandLineBecomeTheListedDrives()
    {
        TempDir dir;
        std::string error;
        QVERIFY(WriteTapeImage(dir / "first.tap", {{"1"}}, error));
        QVERIFY(WriteTapeImage(dir / "second.tap", {{"2"}}, error));
        CommandLineOptions options;
        options.tapeImages = {dir / "first.tap", dir / "second.tap"};
        InstallPlatformServices(options);
        auto frame = MakeFrame();
        QCOMPARE(frame->GetDeviceEntries(),
                 (std::vector<std::string>{"[0:0] -- SIMH -- first.tap", "[0:1] -- SIMH -- second.tap"}));
        QCOMPARE(frame->windowTitle(), QStringLiteral("Kellovaran    ([0:0] -- SIMH -- first.tap)"));
        frame->m_nCurrentDevice = 1;
        frame->OnRewind();
        QVERIFY(WaitForIdle(*frame));
        DeviceNamespace::SetTapeImages({});
        UnregisterAspiProvider();
        const std::string log = LogText(*frame);
        QVERIFY2(log.find("\t[0:1] -- SIMH -- second.tap\n") != std::string::npos, log.c_str());
        QVERIFY2(log.find("[00][TAPE1] -- Tape rewinded\n") != std::string::npos, log.c_str());
    }

    void workerMessagesArriveInOrderAndEachWaitsForTheView()
    {
        auto frame = MakeFrame();
        CChildView& view = *frame->GetView();
        const int before = view.GetLineCount();
        std::atomic<int> sent{0};
        std::atomic<bool> behind{false};
        std::thread worker([&] {
            for (int i = 0; i < 200; ++i) {
                const std::string text = "message " + std::to_string(i) + "\n";
                TaskMemBlock block = TaskMemBlock::Alloc(text.size() + 1);
                std::memcpy(block.data(), text.c_str(), text.size() + 1);
                view.Send(UM_LOG_TEXT, std::move(block));
                sent = i + 1;
            }
        });
        // whenever the worker has finished a Send, the view already shows that text
        int seen = 0;
        while (sent < 200) {
            const int done = sent;
            QCoreApplication::processEvents();
            if (view.GetLineCount() - before < done) {
                behind = true;
            }
            seen = std::max(seen, done);
        }
        worker.join();
        QVERIFY(!behind);
        QStringList lines = view.toPlainText().split(QLatin1Char('\n'));
        lines = lines.mid(before - 1, 200);
        for (int i = 0; i < 200; ++i) {
            QCOMPARE(lines[i], QStringLiteral("message %1").arg(i));
        }
    }

    void detachedViewLetsWorkersGoWithoutTheUiThread()
    {
        auto frame = MakeFrame();
        CChildView& view = *frame->GetView();
        const QString before = view.toPlainText();
        view.Detach();
        // nothing processes events here: a worker that waited on this thread would hang
        const QString counters = frame->GetPaneText(1);
        std::thread worker([&] {
            for (int i = 0; i < 10; ++i) {
                TaskMemBlock block = TaskMemBlock::Alloc(8);
                std::memcpy(block.data(), "late\n", 6);
                view.Send(UM_LOG_TEXT, std::move(block));
                const TapeCounters record{1, 2, 3, 4, i == 9 ? 1u : 0u};
                view.PostLatest(UM_COUNTERS, &record, sizeof record);
            }
        });
        worker.join();
        QTest::qWait(50);
        QCOMPARE(view.toPlainText(), before);
        QCOMPARE(frame->GetPaneText(1), counters);
    }

    void closingDuringALoadBreaksItAndClosesWhenItEnds()
    {
        TempDir out;
        GatedDrives drives({{"one", "two", "three"}, {"four"}});
        auto frame = MakeFrame();
        // small enough that Qt paints it without helper threads of its own, which the
        // thread checker cannot follow
        frame->resize(300, 200);
        frame->show();
        QVERIFY(QTest::qWaitForWindowExposed(frame.get()));
        QVERIFY(StartLoad(*frame, out.path()));
        QTRY_COMPARE(drives.gate->Waiting(), 1);

        // No: the job goes on, nothing is broken off.
        bool closed = true;
        QVERIFY(CloseAnswering(*frame, QMessageBox::No, closed));
        QVERIFY(!closed);
        QVERIFY(frame->isVisible());
        QVERIFY(!frame->IsClosePending());
        QCOMPARE(BreakRequest(*frame), std::make_pair(0u, 1u));

        QVERIFY(CloseAnswering(*frame, QMessageBox::Yes, closed));
        QVERIFY(!closed);
        QVERIFY(frame->isVisible());
        QVERIFY(frame->IsClosePending());
        QCOMPARE(BreakRequest(*frame), std::make_pair(1u, 1u));
        QCOMPARE(frame->GetPaneText(0), QStringLiteral("Closing"));
        const std::string notice = "Closing: the current operation is being broken off; the window closes when it has ended\n";
        QVERIFY(LogText(*frame).find(notice) != std::string::npos);
        frame->UpdateCommandUI();
        QVERIFY(!Enabled(*frame, ID_LOAD_FILES));

        drives.gate->Open();
        QTRY_VERIFY_WITH_TIMEOUT(!frame->isVisible(), 20000);
        QCOMPARE(frame->m_jobs.GetJobCount(), 0u);
        // the job's last texts reached the log before the window went
        const std::string log = LogText(*frame);
        QVERIFY(log.find("READ SESSION SUMMARY", log.find(notice)) != std::string::npos);
        // broken off before its first file: nothing was written, nothing is left half-made
        QVERIFY(!FileExists(out / "file0000"));
        QVERIFY(!FileExists(out / "file0000.part"));
    }

    // Through the Tools menu, the item after "Eject": broken off, it leaves no image; run
    // to the end, the image holds the tape's records and marks exactly.
    void saveTapeImageRunsACaptureIntoTheChosenFile()
    {
        TempDir dir;
        const std::string image = dir / "whole.tap";
        SetTapeImageFileChooserForTesting([&](QWidget*, const QString& title, std::string& path, size_t&) {
            if (title != QStringLiteral("Save tape image")) {
                return false;
            }
            path = image;
            return true;
        });
        GatedDrives drives;
        auto frame = MakeFrame();
        QAction* command = nullptr;
        for (QAction* menu : frame->menuBar()->actions()) {
            if (menu->text() != QStringLiteral("&Tools")) {
                continue;
            }
            const QList<QAction*> items = menu->menu()->actions();
            for (qsizetype i = 0; i + 1 < items.size(); ++i) {
                if (items[i]->text() == QStringLiteral("&Eject")) {
                    command = items[i + 1];
                }
            }
        }
        QVERIFY(command);
        QCOMPARE(command->text(), QStringLiteral("Save tape &image..."));

        command->trigger();
        QTRY_COMPARE(drives.gate->Waiting(), 1);  // held at its rewind
        frame->UpdateCommandUI();
        QVERIFY(!command->isEnabled());
        QVERIFY(!Break(*frame, QMessageBox::No));  // no question: a capture stops at once
        drives.gate->Open();
        QVERIFY(WaitForIdle(*frame));
        QVERIFY(!FileExists(image));
        QVERIFY(!FileExists(image + ".tmp"));
        QVERIFY(LogText(*frame).find("------ TERMINATED BY USER-------") != std::string::npos);

        const size_t before = LogText(*frame).size();
        QVERIFY(command->isEnabled());
        command->trigger();
        QVERIFY(WaitForIdle(*frame));
        SetTapeImageFileChooserForTesting({});
        const std::string expected = dir / "expected.tap";
        std::string error;
        QVERIFY(WriteTapeImage(expected, {{"block-a", "block-b"}, {"block-c"}}, error));
        QCOMPARE(ReadWholeFile(image), ReadWholeFile(expected));
        QVERIFY(FileExists(image + ".sha256"));
        const std::string log = Tail(LogText(*frame), before);
        QVERIFY(log.find("[01][TAPE0] -- Capturing whole tape to image file '" + image + "'\n") != std::string::npos);
        QVERIFY(log.find("File number 0001 captured: 1 blocks, 7 bytes\n") != std::string::npos);
        QVERIFY(log.find("CAPTURE SESSION SUMMARY") != std::string::npos);
    }

    // The type picked in the chooser makes the image (HET, its records compressed with
    // bzip2), gives the name its extension and is the one offered the next time.
    void saveTapeImageWritesTheChosenTypeAndOffersItNextTime()
    {
        TempDir dir;
        std::vector<size_t> offered;
        SetTapeImageFileChooserForTesting([&](QWidget*, const QString&, std::string& path, size_t& type) {
            offered.push_back(type);
            if (offered.size() > 1) {
                return false;
            }
            path = dir / "whole";
            type = 4;
            return true;
        });
        GatedDrives drives({{std::string(4096, 'x')}, {"block-c"}});
        drives.gate->Open();
        auto frame = MakeFrame();
        frame->OnSaveTapeImage();
        QVERIFY(WaitForIdle(*frame));
        frame->OnSaveTapeImage();
        SetTapeImageFileChooserForTesting({});
        QCOMPARE(offered, (std::vector<size_t>{0, 4}));
        QVERIFY(!FileExists(dir / "whole"));
        const std::string image = ReadWholeFile(dir / "whole.het");
        QVERIFY2(image.size() > 6, LogText(*frame).c_str());
        QCOMPARE(static_cast<unsigned char>(image[4]) & 0x03, 0x02);  // the first record, bzip2
        uint32_t error = 0;
        QCOMPARE(DetectImageFileFormat(dir / "whole.het", error), std::optional<ImageFormat>(ImageFormat::Het));
    }

    // A clean image, one cut off inside a record and a missing one: each validated on its
    // thread (the tape commands wait meanwhile), each outcome in the log and the status word.
    void validateTapeImageLogsTheReportAndShowsDamageInRed()
    {
        TempDir dir;
        std::string error;
        const std::string clean = dir / "clean.tap";
        QVERIFY(WriteTapeImage(clean, {{"alpha", "beta"}, {"gamma"}}, error));
        const std::string cut = dir / "cut.tap";
        WriteWholeFile(cut, ReadWholeFile(clean).substr(0, 14 + 4 + 3));  // into the second record
        const std::string missing = dir / "missing.tap";
        std::vector<std::string> answers = {clean, cut, missing};
        SetTapeImageReadChooserForTesting([&](QWidget*, const QString& title, std::string& path) {
            if (title != QStringLiteral("Validate tape image") || answers.empty()) {
                return false;
            }
            path = answers.front();
            answers.erase(answers.begin());
            return true;
        });
        auto frame = MakeFrame();
        QAction* validate = frame->GetAction(ID_VALIDATE_TAPE_IMAGE);
        const auto run = [&] {
            const size_t before = LogText(*frame).size();
            validate->trigger();
            const bool busy = frame->IsValidating() && !validate->isEnabled() && !Enabled(*frame, ID_REWIND);
            if (!QTest::qWaitFor([&] { return !frame->IsValidating(); }, 20000) || !busy) {
                return std::string("(still running or never busy)");
            }
            return Tail(LogText(*frame), before);
        };

        std::string log = run();
        QVERIFY2(log.find("Validating tape image '" + clean + "'\n") != std::string::npos, log.c_str());
        QVERIFY2(log.find(clean + ": SIMH image, ") != std::string::npos, log.c_str());
        QVERIFY2(log.find("files 2, records 3, bytes 14, bad records 0, tapemarks 2") != std::string::npos, log.c_str());
        QVERIFY2(log.find("\nclean\n") != std::string::npos, log.c_str());
        QCOMPARE(frame->GetPaneText(0), QStringLiteral("Validated: clean"));
        QVERIFY(validate->isEnabled() && Enabled(*frame, ID_REWIND));

        log = run();
        QVERIFY2(log.find("DAMAGED at byte ") != std::string::npos, log.c_str());
        QVERIFY(log.find("\nclean\n") == std::string::npos);
        QVERIFY(LastLineIsRed(*frame, QStringLiteral("DAMAGED at byte ")));
        QVERIFY(!LastLineIsRed(*frame, QStringLiteral("files ")));
        QCOMPARE(frame->GetPaneText(0), QStringLiteral("Validated: damaged"));

        log = run();
        SetTapeImageReadChooserForTesting({});
        QVERIFY2(log.find("Can't validate tape image '" + missing + "': ") != std::string::npos, log.c_str());
        QVERIFY(LastLineIsRed(*frame, QStringLiteral("Can't validate tape image")));
        QVERIFY(frame->GetPaneText(0).startsWith(QStringLiteral("Failed: ")));
    }

    // Added after the image of the command line, listed and selected; the next job reads it.
    // The same image again adds nothing; a file that is no image is refused.
    void openTapeImageAddsTheDriveAndSelectsIt()
    {
        TempDir dir;
        std::string error;
        QVERIFY(WriteTapeImage(dir / "first.tap", {{"1"}}, error));
        QVERIFY(WriteTapeImage(dir / "second.tap", {{"2"}}, error));
        WriteWholeFile(dir / "junk", "not a tape");
        CommandLineOptions options;
        options.tapeImages = {dir / "first.tap"};
        InstallPlatformServices(options);
        SetTapeImageReadChooserForTesting([&](QWidget*, const QString& title, std::string& path) {
            path = dir / "second.tap";
            return title == QStringLiteral("Open tape image");
        });
        auto frame = MakeFrame();
        const std::vector<std::string> both = {"[0:0] -- SIMH -- first.tap", "[0:1] -- SIMH -- second.tap"};
        for (int round = 0; round < 2; ++round) {
            frame->m_nCurrentDevice = 0;
            frame->GetAction(ID_FILE_OPEN_IMAGE)->trigger();
            QCOMPARE(frame->GetDeviceEntries(), both);
            QCOMPARE(frame->m_nCurrentDevice, 1);
        }
        SetTapeImageReadChooserForTesting({});
        QCOMPARE(frame->windowTitle(), QStringLiteral("Kellovaran    ([0:1] -- SIMH -- second.tap)"));
        QVERIFY(!frame->OpenTapeImage(dir / "junk"));
        QCOMPARE(frame->GetDeviceEntries(), both);
        QCOMPARE(frame->m_nCurrentDevice, 1);

        // An image file dropped on the window is opened the same way; a file no format fits is not.
        QVERIFY(WriteTapeImage(dir / "third.tap", {{"3"}}, error));
        QMimeData dropped;
        dropped.setUrls({QUrl::fromLocalFile(QString::fromStdString(dir / "third.tap")),
                         QUrl::fromLocalFile(QString::fromStdString(dir / "junk"))});
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(frame.get(), &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(frame.get(), &drop);
        QCOMPARE(frame->GetDeviceEntries().size(), size_t(3));
        QCOMPARE(frame->m_nCurrentDevice, 2);
        frame->m_nCurrentDevice = 1;

        // Ctrl+R rewinds, as the menu item does.
        QCOMPARE(frame->GetAction(ID_REWIND)->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_R));
        frame->OnRewind();
        QVERIFY(WaitForIdle(*frame));
        DeviceNamespace::SetTapeImages({});
        UnregisterAspiProvider();
        const std::string log = LogText(*frame);
        QVERIFY2(log.find("Tape image '" + dir / "second.tap" + "' opened as TAPE1\n") != std::string::npos, log.c_str());
        QVERIFY2(log.find("Can't open tape image '" + dir / "junk" + "': ") != std::string::npos, log.c_str());
        QVERIFY2(log.find("[00][TAPE1] -- Tape rewinded\n") != std::string::npos, log.c_str());
    }

    void destroyingTheFrameUnderARunningJobWaitsForIt()
    {
        GatedDrives drives;
        auto frame = MakeFrame();
        frame->OnRewind();
        QTRY_COMPARE(drives.gate->Waiting(), 1);
        std::shared_ptr<Gate> gate = drives.gate;
        std::thread opener([gate] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            gate->Open();
        });
        frame.reset();  // must neither crash nor hang: the worker's messages are dropped
        opener.join();
    }
};

QTEST_MAIN(TestGuiJobs)
#include "tst_gui_jobs.moc"
