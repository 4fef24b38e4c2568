// The main frame without running jobs: title and enable rules in the three outcomes of
// the drive scan, the start-up log, the choose-tape and load dialogs as the frame runs
// them, menu, tool bar, prompts and status panes, and the command line.
#include "app/CommandLine.h"
#include "app/MainFrame.h"
#include "dialogs/CChooseTapeDlg.h"
#include "dialogs/CLoadAllFilesDialog.h"
#include "res/Resource.h"
#include "tests/common/TestSupport.h"
#include "tests/gui/GuiTestSupport.h"
#include "view/ChildView.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTextDocument>
#include <QTest>
#include <QToolBar>

#include <cstring>
#include <filesystem>

namespace {

bool Enabled(const CMainFrame& frame, int id)
{
    return frame.GetAction(id)->isEnabled();
}

// Runs "Select tape...", picks the entry at position (or leaves the list alone when
// negative) and ends with OK or Cancel. Returns the entries the dialog offered.
QStringList SelectTape(CMainFrame& frame, int position, bool ok, int* preselected = nullptr)
{
    QStringList entries;
    auto answer = ModalAnswer::When<CChooseTapeDlg>([&](CChooseTapeDlg* dialog) {
        for (int i = 0; i < dialog->m_cbDevice->count(); ++i) {
            entries << dialog->m_cbDevice->itemText(i);
        }
        if (preselected) {
            *preselected = dialog->m_cbDevice->currentIndex();
        }
        if (position >= 0) {
            dialog->m_cbDevice->setCurrentIndex(position);
        }
        QTest::mouseClick(static_cast<QPushButton*>(dialog->GetDlgItem(ok ? IDOK : IDCANCEL)), Qt::LeftButton);
    });
    frame.OnSelectTape();
    if (!answer->Answered()) {
        qWarning("the choose-tape dialog did not show");
    }
    return entries;
}

struct LoadFields {
    QString path, base, selection;
};

// Runs "Load  files from tape...", reads what the dialog shows, types the replacements
// (when given) and ends with Cancel.
LoadFields OpenLoadDialogAndCancel(CMainFrame& frame, const LoadFields* typed = nullptr,
                                   Qt::CursorShape* frameCursor = nullptr)
{
    LoadFields shown;
    auto answer = ModalAnswer::When<CLoadAllFilesDialog>([&](CLoadAllFilesDialog* dialog) {
        shown = {dialog->GetEdit(IDC_PATH)->text(), dialog->GetEdit(IDC_FILE_BASE)->text(),
                 dialog->GetEdit(IDC_SELECTION)->text()};
        if (frameCursor) {
            *frameCursor = frame.cursor().shape();
        }
        if (typed) {
            dialog->GetEdit(IDC_PATH)->setText(typed->path);
            dialog->GetEdit(IDC_FILE_BASE)->setText(typed->base);
            dialog->GetEdit(IDC_SELECTION)->setText(typed->selection);
        }
        QTest::mouseClick(static_cast<QPushButton*>(dialog->GetDlgItem(IDCANCEL)), Qt::LeftButton);
    });
    frame.OnLoadFiles();
    if (!answer->Answered()) {
        qWarning("the load dialog did not show");
    }
    return shown;
}

const std::string kBanner = "-------------------LOG INITIALIZED--------------------\n<time>\n\n";
const std::string kImageHint = "To copy a tape image, open it with File > Open tape image... or drop it on this window\n";

void SendBlock(CChildView& view, uint32_t message, const void* data, size_t size)
{
    TaskMemBlock block = TaskMemBlock::Alloc(size);
    std::memcpy(block.data(), data, size);
    view.Send(message, std::move(block));
}

void SendCounters(CChildView& view, TapeCounters counters)
{
    SendBlock(view, UM_COUNTERS, &counters, sizeof counters);
}

// A frame as start-up makes it, shown, without ASPI.
std::unique_ptr<CMainFrame> MakeShownFrame()
{
    UseNoAspi();
    auto frame = MakeFrame();
    frame->resize(800, 450);
    frame->show();
    if (!QTest::qWaitForWindowExposed(frame.get())) {
        qWarning("the frame was not exposed");
    }
    return frame;
}

bool ParseArgs(std::vector<std::string> args, CommandLineOptions& options)
{
    std::string error;
    return ParseCommandLine(args, options, error);
}

} // namespace

class TestGuiFrame : public QObject {
    Q_OBJECT

private slots:
    void fallbackModeOffersFourDevices()
    {
        UseNoAspi();
        auto frame = MakeFrame();
        QCOMPARE(frame->windowTitle(), QStringLiteral("Kellovaran    (TAPE0)"));
        for (int id : {ID_SELECT_TAPE, ID_LOAD_FILES, ID_REWIND, ID_EJECT}) {
            QVERIFY2(Enabled(*frame, id), qPrintable(QString::number(id)));
        }
        QVERIFY(!Enabled(*frame, ID_BREAK));

        int preselected = -2;
        const QStringList entries = SelectTape(*frame, 2, true, &preselected);
        QCOMPARE(entries, (QStringList{"TAPE0", "TAPE1", "TAPE2", "TAPE3"}));
        QCOMPARE(preselected, 0);
        QCOMPARE(frame->m_nCurrentDevice, 2);
        QCOMPARE(frame->windowTitle(), QStringLiteral("Kellovaran    (TAPE2)"));

        SelectTape(*frame, 3, false, &preselected);
        QCOMPARE(preselected, 2);
        QCOMPARE(frame->m_nCurrentDevice, 2);
        QCOMPARE(frame->windowTitle(), QStringLiteral("Kellovaran    (TAPE2)"));
    }

    void fallbackTitleCorrectsAnOutOfRangeDevice()
    {
        UseNoAspi();
        auto frame = MakeFrame();
        frame->m_nCurrentDevice = 4;
        frame->UpdateTitle();
        QCOMPARE(frame->windowTitle(), QStringLiteral("Kellovaran    (TAPE0)"));
        QCOMPARE(frame->m_nCurrentDevice, 0);
        frame->m_nCurrentDevice = -1;
        frame->UpdateTitle();
        QCOMPARE(frame->m_nCurrentDevice, 0);
    }

    void noDriveDisablesEveryTapeCommand()
    {
        UseAspiWithoutDrives();
        auto frame = MakeFrame();
        QCOMPARE(frame->windowTitle(), QStringLiteral("Kellovaran    (NO DEVICE)"));
        for (int id : {ID_SELECT_TAPE, ID_LOAD_FILES, ID_REWIND, ID_EJECT, ID_BREAK}) {
            QVERIFY2(!Enabled(*frame, id), qPrintable(QString::number(id)));
        }
        QVERIFY(Enabled(*frame, ID_APP_EXIT));
        // a command that gets past the disabled button starts nothing
        frame->OnRewind();
        QCOMPARE(frame->m_jobs.GetJobCount(), 0u);
    }

    void twoDrivesAreOfferedInListOrder()
    {
        UseAspiWithTwoDrives();
        auto frame = MakeFrame();
        QCOMPARE(frame->windowTitle(), QStringLiteral("Kellovaran    ([0:3] -- ACME -- DLT1)"));
        for (int id : {ID_SELECT_TAPE, ID_LOAD_FILES, ID_REWIND, ID_EJECT}) {
            QVERIFY(Enabled(*frame, id));
        }
        QVERIFY(!Enabled(*frame, ID_BREAK));

        const QStringList entries = SelectTape(*frame, 1, true);
        QCOMPARE(entries, (QStringList{"[0:3] -- ACME -- DLT1", "[0:5] -- ZETA -- Z2"}));
        QCOMPARE(frame->m_nCurrentDevice, 1);
        QCOMPARE(frame->windowTitle(), QStringLiteral("Kellovaran    ([0:5] -- ZETA -- Z2)"));

        SelectTape(*frame, 0, false);
        QCOMPARE(frame->m_nCurrentDevice, 1);
        QCOMPARE(frame->windowTitle(), QStringLiteral("Kellovaran    ([0:5] -- ZETA -- Z2)"));
    }

    void startupLogWithoutAspi()
    {
        UseNoAspi();
        auto frame = MakeFrame();
        QCOMPARE(MaskTimes(LogText(*frame)), kBanner + "ASPI did not initialize\n" + kImageHint);
    }

    void startupLogWithoutDrives()
    {
        UseAspiWithoutDrives();
        auto frame = MakeFrame();
        QCOMPARE(MaskTimes(LogText(*frame)), kBanner + "ASPI initialized\nTape drives not found.\n\n" + kImageHint);
    }

    void startupLogWithTwoDrives()
    {
        UseAspiWithTwoDrives();
        auto frame = MakeFrame();
        QCOMPARE(MaskTimes(LogText(*frame)), kBanner
                                                 + "ASPI initialized\nFollowing tape drives found:\n"
                                                   "\t[0:3] -- ACME -- DLT1\n\t[0:5] -- ZETA -- Z2\n\n");
        // the time line is the C library's fixed form
        const std::string log = LogText(*frame);
        const std::string timeLine = log.substr(log.find('\n') + 1, 25);
        QVERIFY2(MaskTimes(timeLine) == "<time>\n", timeLine.c_str());
    }

    void firstLoadDialogShowsTheStartupDirectory()
    {
        UseNoAspi();
        auto frame = MakeFrame();
        Qt::CursorShape during = Qt::ArrowCursor;
        const LoadFields shown = OpenLoadDialogAndCancel(*frame, nullptr, &during);
        // the wait cursor stands over the frame while the handler runs, and goes with it
        QCOMPARE(during, Qt::WaitCursor);
        QCOMPARE(frame->cursor().shape(), Qt::ArrowCursor);
        QCOMPARE(shown.path, QDir::toNativeSeparators(QDir::currentPath()));
        QCOMPARE(shown.base, QStringLiteral("file"));
        QCOMPARE(shown.selection, QStringLiteral("*"));
        QCOMPARE(frame->m_strPath, QDir::currentPath().toStdString());
    }

    void cancelledLoadDialogKeepsTheFramesValues()
    {
        UseNoAspi();
        auto frame = MakeFrame();
        frame->m_strPath = "/data/in";
        const LoadFields typed{"/elsewhere", "other", "1-3"};
        OpenLoadDialogAndCancel(*frame, &typed);
        QCOMPARE(frame->m_strPath, std::string("/data/in"));
        QCOMPARE(frame->m_strFileBase, std::string("file"));
        QCOMPARE(frame->m_strSelection, std::string("*"));
        const LoadFields shown = OpenLoadDialogAndCancel(*frame);
        QCOMPARE(shown.path, QStringLiteral("/data/in"));
        QCOMPARE(shown.base, QStringLiteral("file"));
        QCOMPARE(shown.selection, QStringLiteral("*"));
        QCOMPARE(frame->m_jobs.GetJobCount(), 0u);
    }

    void menuToolBarAndPromptsFollowTheResources()
    {
        UseNoAspi();
        auto frame = MakeFrame();
        QStringList menus;
        QStringList tools;
        for (QAction* menuAction : frame->menuBar()->actions()) {
            menus << menuAction->text();
        }
        QCOMPARE(menus, (QStringList{"&File", "&Tools", "&View", "&Help"}));
        const QList<QAction*> fileItems = frame->menuBar()->actions()[0]->menu()->actions();
        QCOMPARE(fileItems.size(), 4);
        QCOMPARE(fileItems[0]->text(), QStringLiteral("&Open tape image..."));
        QCOMPARE(fileItems[1]->text(), QStringLiteral("&Save log..."));
        QVERIFY(fileItems[2]->isSeparator());
        QCOMPARE(fileItems[3]->text(), QStringLiteral("E&xit"));
        for (QAction* item : frame->menuBar()->actions()[1]->menu()->actions()) {
            tools << (item->isSeparator() ? QStringLiteral("-") : item->text());
        }
        QCOMPARE(tools, (QStringList{"&Select tape...", "-", "&Load  files from tape...", "&Tape contents...", "&Rewind",
                                     "&Eject", "Save tape &image...", "&Validate tape image...", "Rea&d errors", "-",
                                     "&Break operation", "-", "&Write checksums and report", "&Never overwrite files"}));
        // Each item of a menu has a mnemonic of its own.
        QSet<QChar> keys;
        for (const QString& item : tools)
            if (item != QStringLiteral("-"))
                keys.insert(item.at(item.indexOf(QLatin1Char('&')) + 1).toLower());
        QCOMPARE(keys.size(), 11);
        // A checkable choice that the next load takes along.
        QAction* noClobber = frame->GetAction(ID_NO_CLOBBER);
        QVERIFY(noClobber->isCheckable());
        QVERIFY(!noClobber->isChecked());
        QVERIFY(!frame->m_loadOptions.noClobber);
        noClobber->trigger();
        QVERIFY(frame->m_loadOptions.noClobber);
        QVERIFY(noClobber->isChecked());
        noClobber->trigger();
        QVERIFY(!frame->m_loadOptions.noClobber);
        QVERIFY(!noClobber->isChecked());

        QStringList buttons;
        for (QAction* button : frame->m_wndToolBar->actions()) {
            buttons << (button->isSeparator() ? QStringLiteral("-") : button->iconText());
        }
        QCOMPARE(buttons, (QStringList{"Rewind", "Load  files from tape", "-", "Break operation", "Eject"}));
        QCOMPARE(frame->m_wndToolBar->iconSize(), QSize(16, 16));

        const struct {
            int id;
            const char* status;
            const char* tip;
        } prompts[] = {
            {ID_SELECT_TAPE, "Select tape drive", "Select drive"},
            {ID_LOAD_FILES, "Load files form tape", "Load"},
            {ID_REWIND, "Rewind tape", "Rewind"},
            {ID_EJECT, "Eject tape", "Eject"},
            {ID_BREAK, "Break current operation", "Break"},
        };
        for (const auto& prompt : prompts) {
            QCOMPARE(frame->GetAction(prompt.id)->statusTip(), QString::fromLatin1(prompt.status));
            QCOMPARE(frame->GetAction(prompt.id)->toolTip(), QString::fromLatin1(prompt.tip));
            if (prompt.id != ID_SELECT_TAPE) {
                QVERIFY(!frame->GetAction(prompt.id)->icon().isNull());
            }
        }
    }

    void readErrorsChoiceIsExclusiveStartsAtStopAndSetsTheNextLoadsOption()
    {
        UseNoAspi();
        auto frame = MakeFrame();
        QMenu* readErrors = nullptr;
        for (QAction* item : frame->menuBar()->actions()[1]->menu()->actions()) {
            if (item->menu() && item->text() == QStringLiteral("Rea&d errors")) {
                readErrors = item->menu();
            }
        }
        QVERIFY(readErrors);
        QStringList choices;
        for (QAction* choice : readErrors->actions()) {
            choices << choice->text();
            QVERIFY(choice->isCheckable());
        }
        QCOMPARE(choices, (QStringList{"&Stop", "S&kip bad blocks"}));
        QAction* stop = frame->GetAction(ID_READ_ERRORS_STOP);
        QAction* skip = frame->GetAction(ID_READ_ERRORS_SKIP);
        QVERIFY(stop->isChecked());
        QVERIFY(!skip->isChecked());
        QVERIFY(frame->m_loadOptions.onReadError == LoadOptions::ReadErrors::Stop);

        skip->trigger();
        QVERIFY(frame->m_loadOptions.onReadError == LoadOptions::ReadErrors::Skip);
        QVERIFY(skip->isChecked());
        QVERIFY(!stop->isChecked());
        QCOMPARE(frame->m_loadOptions.readRetries, 0u);  // the window keeps the default

        stop->trigger();
        QVERIFY(frame->m_loadOptions.onReadError == LoadOptions::ReadErrors::Stop);
        QVERIFY(stop->isChecked());
        QVERIFY(!skip->isChecked());
    }

    void panesStartBlankAndAsWideAsTheirString()
    {
        auto frame = MakeShownFrame();
        QCOMPARE(frame->GetPaneText(0), QStringLiteral("Ready"));
        for (int pane = 1; pane <= 4; ++pane) {
            QCOMPARE(frame->GetPaneText(pane), QString(53, QLatin1Char(' ')));
        }
        // the indicators stand in the order 103, 105, 104, 106
        QCOMPARE(StatusIndicatorResource(), (std::vector<int>{0, 103, 105, 104, 106}));
    }

    void viewMessagesShowInTheMatchingPanes()
    {
        auto frame = MakeShownFrame();
        CChildView& view = *frame->GetView();
        SendCounters(view, {1234, 56, 4096, 128, 0});
        QCOMPARE(frame->GetPaneText(0), QStringLiteral("Loading file"));
        QCOMPARE(frame->GetPaneText(1), QStringLiteral("Blks total: 1234"));
        QCOMPARE(frame->GetPaneText(2), QStringLiteral("Blks cur file: 56"));
        QCOMPARE(frame->GetPaneText(3), QStringLiteral("KB total: 4096"));
        QCOMPARE(frame->GetPaneText(4), QStringLiteral("KB cur file: 128"));
        const char status[] = "Rewinding";
        SendBlock(view, UM_STATUS_TEXT, status, sizeof status);
        QCOMPARE(frame->GetPaneText(0), QStringLiteral("Rewinding"));
        QCOMPARE(frame->GetPaneText(1), QStringLiteral("Blks total: 1234"));
        SendCounters(view, {7, 8, 9, 10, 1});
        QCOMPARE(frame->GetPaneText(0), QStringLiteral("Ready"));
        for (int pane = 1; pane <= 4; ++pane) {
            QCOMPARE(frame->GetPaneText(pane), QStringLiteral(" "));
        }
    }

    void promptGivesWayToTheIdlePromptAgain()
    {
        auto frame = MakeShownFrame();
        CChildView& view = *frame->GetView();
        SendCounters(view, {1, 2, 3, 4, 0});
        frame->statusBar()->showMessage(PromptStatusText(ID_REWIND));
        QCOMPARE(frame->statusBar()->currentMessage(), QStringLiteral("Rewind tape"));
        frame->statusBar()->clearMessage();
        QCOMPARE(frame->GetPaneText(0), QStringLiteral("Ready"));
        QCOMPARE(frame->GetPaneText(1), QStringLiteral("Blks total: 1"));
    }

    void saveLogWritesTheWholeLogInAFixedWidthFont()
    {
        UseNoAspi();
        auto frame = MakeFrame();
        // The tab-aligned summaries line up only when every character is as wide as every
        // other, in the font the log is drawn in, whatever fonts the machine has (measured:
        // some monospace fonts do not call themselves fixed pitch).
        for (const QFont& font : {frame->GetView()->font(), frame->GetView()->document()->defaultFont()}) {
            const QFontMetricsF metrics(font);
            const qreal line = metrics.horizontalAdvance(QStringLiteral("######## Blocks read"));
            QVERIFY2(line > 0, qPrintable(QFontInfo(font).family()));
            for (const QString& same : {QString(20, QLatin1Char('i')), QString(20, QLatin1Char('M')),
                                        QStringLiteral("WWWW....::::0000llll")})
                QVERIFY2(qFuzzyCompare(metrics.horizontalAdvance(same), line),
                         qPrintable(QFontInfo(font).family() + QStringLiteral(": '") + same +
                                    QStringLiteral("' is not as wide as 20 other characters")));
        }
        qInfo("log font: %s", qPrintable(QFontInfo(frame->GetView()->font()).family()));

        TempDir dir;
        const std::string name = dir / "session.log";
        frame->GetView()->AppendLogText("######## Blocks read\t\t: 2\n");
        QString offered;
        CMainFrame::SetSaveLogChooserForTesting([&](QWidget*, const QString& suggested) {
            offered = suggested;
            return QString::fromStdString(name);
        });
        frame->GetAction(ID_FILE_SAVE_LOG)->trigger();
        CMainFrame::SetSaveLogChooserForTesting({});
        const std::string saved = ReadWholeFile(name);
        QCOMPARE(saved, LogText(*frame) + "\n");
        QVERIFY(saved.find("######## Blocks read\t\t: 2\n") != std::string::npos);

        // A cancelled choice writes nothing.
        QVERIFY2(offered.endsWith(QStringLiteral("/file.log")), qPrintable(offered));  // <base>.log is offered

        // A name without an extension gets ".log".
        CMainFrame::SetSaveLogChooserForTesting(
            [&](QWidget*, const QString&) { return QString::fromStdString(dir / "plain"); });
        frame->GetAction(ID_FILE_SAVE_LOG)->trigger();
        QCOMPARE(ReadWholeFile(dir / "plain.log"), saved);

        CMainFrame::SetSaveLogChooserForTesting([](QWidget*, const QString&) { return QString(); });
        frame->GetAction(ID_FILE_SAVE_LOG)->trigger();
        CMainFrame::SetSaveLogChooserForTesting({});
        QCOMPARE(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);
    }

    void exitClosesAnIdleFrame()
    {
        UseNoAspi();
        auto frame = MakeFrame();
        frame->show();
        QVERIFY(QTest::qWaitForWindowExposed(frame.get()));
        frame->GetAction(ID_APP_EXIT)->trigger();
        QVERIFY(!frame->isVisible());
    }

    void commandLineTakesImagesAndBlockSizes()
    {
        CommandLineOptions options;
        QVERIFY(ParseArgs({"--tape-image", "a.tap", "--tape-image=b.tap", "--fixed-block-size", "512",
                           "--max-block-size=65536"},
                          options));
        QCOMPARE(options.tapeImages, (std::vector<std::string>{"a.tap", "b.tap"}));
        QCOMPARE(options.driveOptions.fixedBlockSize, 512u);
        QCOMPARE(options.driveOptions.maxBlockSize, 65536u);
        QVERIFY(!options.help);

        CommandLineOptions help;
        QVERIFY(ParseArgs({"--help"}, help));
        QVERIFY(help.help);
    }

    void commandLineRejectsAnythingElse_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("unknown") << QStringList{"--verbose"};
        QTest::newRow("bare word") << QStringList{"image.tap"};
        QTest::newRow("missing image") << QStringList{"--tape-image"};
        QTest::newRow("empty image") << QStringList{"--tape-image="};
        QTest::newRow("size not a number") << QStringList{"--max-block-size", "64k"};
        QTest::newRow("size zero") << QStringList{"--max-block-size", "0"};
        QTest::newRow("size too large") << QStringList{"--fixed-block-size", "16777216"};
        QTest::newRow("negative size") << QStringList{"--fixed-block-size", "-1"};
        QTest::newRow("qt option") << QStringList{"-platform", "offscreen"};
    }
    void commandLineRejectsAnythingElse()
    {
        QFETCH(QStringList, args);
        std::vector<std::string> list;
        for (const QString& arg : args) {
            list.push_back(arg.toStdString());
        }
        CommandLineOptions options;
        std::string error;
        QVERIFY(!ParseCommandLine(list, options, error));
        QVERIFY(!error.empty());
    }
};

QTEST_MAIN(TestGuiFrame)
#include "tst_gui_frame.moc"
