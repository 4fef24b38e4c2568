#include "app/MainFrame.h"

#include "app/JobEndStatus.h"
#include "Version.h"
#include "aspi/DriveReport.h"
#include "dialogs/CChooseTapeDlg.h"
#include "dialogs/CLoadAllFilesDialog.h"
#include "dialogs/CTapeContentsDialog.h"
#include "dialogs/ImageFileTypes.h"
#include "dialogs/TapeImageFileDialog.h"
#include "platform/DeviceNamespace.h"
#include "platform/Errors.h"
#include "platform/ImageValidate.h"
#include "res/Resource.h"
#include "tape/TapeContents.h"
#include "tape/TapeJob.h"
#include "tape/TapeMap.h"
#include "view/ChildView.h"
#include "view/TapeMapView.h"

#include <QAction>
#include <QActionGroup>
#include <QCloseEvent>
#include <QDir>
#include <QDockWidget>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QKeySequence>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProcess>
#include <QUrl>
#include <QVBoxLayout>
#include <QFileDialog>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QSaveFile>
#include <QScrollArea>
#include <QTemporaryDir>
#include <QStatusBar>
#include <QToolBar>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace {

std::string DeviceEntryText(const AspiDevice& device)
{
    char text[64];
    std::snprintf(text, sizeof text, "[%d:%d] -- %s -- %s", device.nHostAdapter, device.nTarget, device.szVendor,
                  device.szProduct);
    return text;
}

// The frame shows the wait cursor while a handler runs; its dialogs keep their own.
class WaitCursor {
public:
    explicit WaitCursor(QWidget* widget) : m_pWidget(widget) { m_pWidget->setCursor(Qt::WaitCursor); }
    ~WaitCursor() { m_pWidget->unsetCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;

private:
    QWidget* m_pWidget;
};

} // namespace

CMainFrame::CMainFrame()
{
    m_loadOptions.writeChecksumsAndReport = true;
    // Called on the worker, which must not wait for this thread: the news is queued.
    m_jobs.SetEndHandler([this](TapeJobResult) {
        QMetaObject::invokeMethod(this, &CMainFrame::OnJobEnded, Qt::QueuedConnection);
    });
}

CMainFrame::~CMainFrame()
{
    // No news of an end reaches a frame that is going away.
    m_jobs.SetEndHandler({});
    // Normally the window closes only with an empty job list. Should the frame go away
    // under a running job all the same, the job must not outlive its list: break it off,
    // let its messages go unshown (so it never waits on this thread) and wait for it.
    if (m_jobs.GetJobCount() > 0) {
        m_jobs.SetBreakRequest(1, 1);
        if (m_pView) {
            m_pView->Detach();
        }
    }
    m_jobs.JoinWorkers();
    StopValidation();
}

bool CMainFrame::OnCreate()
{
    setWindowIcon(FrameIcon());
    setAcceptDrops(true);

    m_pView = new CChildView(this);
    m_pView->setFrameShape(QFrame::NoFrame);
    setCentralWidget(m_pView);
    setFocusProxy(m_pView);  // the frame's focus goes to the log

    CreateCommands();
    CreateMapDock();
    CreateMenus();
    CreateToolBar();
    CreateStatusBar();
    // The view reports its pane texts and asks for the drive text when it writes the banner.
    connect(m_pView, &CChildView::PaneTextChanged, this, &CMainFrame::SetPaneText);
    connect(m_pView, &CChildView::CountersShown, this, &CMainFrame::ShowProgress);
    m_pView->SetDriveReport([this] {
        std::string text = DescribeTapeDrives(*m_aspi);
        // No drive found (or none looked for): the way to an image, which needs none.
        if (!m_aspi->m_bInitialized || m_aspi->m_devices.empty())
            text += tr("To copy a tape image, open it with File > Open tape image... or drop it on this window\n")
                        .toStdString();
        return text;
    });

    // The folder offered to the first load.
    const QString current = QDir::currentPath();
    m_strPath = current.isEmpty() ? std::string() : QDir::toNativeSeparators(current).toLocal8Bit().toStdString();

    if (m_aspi->Initialize()) {
        m_aspi->Rescan();
    }
    UpdateTitle();
    UpdateCommandUI();
    return true;
}

bool CMainFrame::LoadFrame()
{
    if (!OnCreate()) {
        return false;
    }
    m_pView->OnInitialUpdate();
    return true;
}

void CMainFrame::CreateCommands()
{
    const struct {
        int id;
        void (CMainFrame::*handler)();
        void (CMainFrame::*update)(QAction*);
    } table[] = {
        {ID_SELECT_TAPE, &CMainFrame::OnSelectTape, &CMainFrame::OnUpdateSelectTape},
        {ID_LOAD_FILES, &CMainFrame::OnLoadFiles, &CMainFrame::OnUpdateTapeCommand},
        {ID_TAPE_CONTENTS, &CMainFrame::OnTapeContents, &CMainFrame::OnUpdateTapeCommand},
        {ID_REWIND, &CMainFrame::OnRewind, &CMainFrame::OnUpdateTapeCommand},
        {ID_EJECT, &CMainFrame::OnEject, &CMainFrame::OnUpdateTapeCommand},
        {ID_SAVE_TAPE_IMAGE, &CMainFrame::OnSaveTapeImage, &CMainFrame::OnUpdateTapeCommand},
        {ID_VALIDATE_TAPE_IMAGE, &CMainFrame::OnValidateTapeImage, &CMainFrame::OnUpdateImageCommand},
        {ID_FILE_OPEN_IMAGE, &CMainFrame::OnOpenTapeImage, &CMainFrame::OnUpdateImageCommand},
        {ID_VIEW_TAPE_MAP, &CMainFrame::OnViewTapeMap, &CMainFrame::OnUpdateViewTapeMap},
        {ID_BREAK, &CMainFrame::OnBreak, &CMainFrame::OnUpdateBreak},
        {ID_WRITE_REPORT, &CMainFrame::OnWriteReport, &CMainFrame::OnUpdateWriteReport},
        {ID_READ_ERRORS_STOP, &CMainFrame::OnReadErrorsStop, &CMainFrame::OnUpdateReadErrors},
        {ID_READ_ERRORS_SKIP, &CMainFrame::OnReadErrorsSkip, &CMainFrame::OnUpdateReadErrors},
        {ID_NO_CLOBBER, &CMainFrame::OnNoClobber, &CMainFrame::OnUpdateNoClobber},
        {ID_FILE_SAVE_LOG, &CMainFrame::OnSaveLog, nullptr},
        {ID_APP_EXIT, &CMainFrame::OnAppExit, nullptr},
        {ID_HELP_MANUAL, &CMainFrame::OnHelpManual, nullptr},
        {ID_APP_ABOUT, &CMainFrame::OnAppAbout, nullptr},
    };
    for (const auto& entry : table) {
        auto* action = new QAction(this);
        action->setStatusTip(PromptStatusText(entry.id));
        action->setToolTip(PromptToolTip(entry.id));
        action->setIcon(ToolBarIcon(entry.id));
        action->setIconVisibleInMenu(false);
        action->setData(entry.id);
        auto handler = entry.handler;
        connect(action, &QAction::triggered, this, [this, handler] { (this->*handler)(); });
        m_commands[entry.id] = Command{entry.handler, entry.update, action};
    }
    // Keys for the commands used most; the enable rules guard them as they guard the menu.
    const std::pair<int, QKeySequence> keys[] = {
        {ID_LOAD_FILES, QKeySequence(Qt::CTRL | Qt::Key_L)},  {ID_REWIND, QKeySequence(Qt::CTRL | Qt::Key_R)},
        {ID_EJECT, QKeySequence(Qt::CTRL | Qt::Key_E)},       {ID_BREAK, QKeySequence(Qt::CTRL | Qt::Key_B)},
        {ID_FILE_OPEN_IMAGE, QKeySequence::Open},              {ID_FILE_SAVE_LOG, QKeySequence::Save},
        {ID_APP_EXIT, QKeySequence::Quit},                     {ID_HELP_MANUAL, QKeySequence::HelpContents},
    };
    for (const auto& [id, key] : keys)
        m_commands[id].action->setShortcut(key);
}

void CMainFrame::OnAppAbout()
{
    QMessageBox::about(this, tr("About Kellovaran"),
                       tr("<p><b>Kellovaran</b> %1</p>"
                          "<p>Copies the files of a magnetic tape, or of a tape image, to disk, with "
                          "checksums, a report and a map of the tape.</p>"
                          "<p>Licence: none is published yet; all rights are reserved "
                          "(/usr/share/doc/kellovaran/copyright).</p>")
                           .arg(QString::fromLatin1(kKellovaranVersion).toHtmlEscaped()));
}

// The manual page, as man formats it for a terminal, in a window of its own.
void CMainFrame::OnHelpManual()
{
    QProcess man;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("MANWIDTH"), QStringLiteral("80"));
    environment.insert(QStringLiteral("MAN_KEEP_FORMATTING"), QString());
    man.setProcessEnvironment(environment);
    man.start(QStringLiteral("man"), {QStringLiteral("-P"), QStringLiteral("cat"), QStringLiteral("kellovaran")});
    QString text;
    if (man.waitForFinished(10000) && man.exitStatus() == QProcess::NormalExit && man.exitCode() == 0)
        text = QString::fromLocal8Bit(man.readAllStandardOutput());
    if (text.trimmed().isEmpty()) {
        QMessageBox::information(this, tr("Manual"),
                                 tr("The manual page could not be shown here. In a terminal: man kellovaran "
                                    "(the window) and man kellovaran-cli (the command line)."));
        return;
    }
    auto* window = new QDialog(this);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setWindowTitle(tr("Kellovaran manual"));
    auto* page = new QPlainTextEdit(text, window);
    page->setReadOnly(true);
    page->setFont(m_pView->font());
    page->setAccessibleName(tr("Manual"));
    auto* layout = new QVBoxLayout(window);
    layout->addWidget(page);
    window->resize(page->fontMetrics().horizontalAdvance(QString(84, QLatin1Char('M'))), 600);
    window->show();
}

// Tape image files dropped on the window are opened as drives, as "Open tape image..." does.
void CMainFrame::dragEnterEvent(QDragEnterEvent* event)
{
    if (event->mimeData()->hasUrls() && !IsBusy()) {
        for (const QUrl& url : event->mimeData()->urls())
            if (!url.isLocalFile())
                return;
        event->acceptProposedAction();
    }
}

void CMainFrame::dropEvent(QDropEvent* event)
{
    for (const QUrl& url : event->mimeData()->urls())
        if (url.isLocalFile())
            OpenTapeImage(url.toLocalFile().toLocal8Bit().toStdString());
    event->acceptProposedAction();
}

void CMainFrame::CreateMenus()
{
    for (const MenuResource& menuResource : MainMenuResource()) {
        QMenu* menu = menuBar()->addMenu(QString::fromLatin1(menuResource.title));
        for (const MenuItemResource& item : menuResource.items) {
            if (!item.choices.empty()) {
                AddChoiceMenu(menu, item);
                continue;
            }
            if (item.id == 0) {
                menu->addSeparator();
                continue;
            }
            QAction* action = GetAction(item.id);
            action->setText(QString::fromLatin1(item.text));
            menu->addAction(action);
        }
        connect(menu, &QMenu::aboutToShow, this, &CMainFrame::UpdateCommandUI);
    }
}

// A submenu of exclusive, checkable commands; their update handlers tick the one in force.
void CMainFrame::AddChoiceMenu(QMenu* menu, const MenuItemResource& item)
{
    QMenu* submenu = menu->addMenu(QString::fromLatin1(item.text));
    auto* group = new QActionGroup(submenu);
    group->setExclusive(true);
    for (const MenuItemResource& choice : item.choices) {
        QAction* action = GetAction(choice.id);
        action->setText(QString::fromLatin1(choice.text));
        action->setCheckable(true);
        group->addAction(action);
        submenu->addAction(action);
    }
    connect(submenu, &QMenu::aboutToShow, this, &CMainFrame::UpdateCommandUI);
}

void CMainFrame::CreateToolBar()
{
    m_wndToolBar = new QToolBar(this);
    m_wndToolBar->setObjectName(QStringLiteral("ToolBar%1").arg(IDR_MAINFRAME));
    m_wndToolBar->setIconSize(QSize(TOOLBAR_BUTTON_SIZE, TOOLBAR_BUTTON_SIZE));
    m_wndToolBar->setAllowedAreas(Qt::AllToolBarAreas);
    m_wndToolBar->setMovable(true);
    for (int id : MainToolBarResource()) {
        if (id == 0) {
            m_wndToolBar->addSeparator();
        } else {
            m_wndToolBar->addAction(GetAction(id));
        }
    }
    addToolBar(Qt::TopToolBarArea, m_wndToolBar);
}

void CMainFrame::CreateStatusBar()
{
    m_wndStatusBar = statusBar();
    for (int id : StatusIndicatorResource()) {
        auto* pane = new QLabel(m_wndStatusBar);
        if (id == ID_SEPARATOR) {
            pane->setText(LoadResString(AFX_IDS_IDLEMESSAGE));
            // A long failure text is cut off at the counters rather than pushing them
            // aside (its tool tip holds it whole): the pane keeps the idle prompt's width.
            pane->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
            // ... and room for the word a job shows while it runs.
            pane->setMinimumWidth(std::max(pane->fontMetrics().horizontalAdvance(pane->text()),
                                           pane->fontMetrics().horizontalAdvance(QStringLiteral("Loading file"))));
            m_wndStatusBar->addWidget(pane, 1);
        } else {
            // a counter pane is as wide as its string, and starts out showing it
            const QString blanks = LoadResString(id);
            pane->setText(blanks);
            pane->setFrameStyle(QFrame::Panel | QFrame::Sunken);
            pane->setFixedWidth(pane->fontMetrics().horizontalAdvance(blanks) + 2 * pane->frameWidth() + 4);
            m_wndStatusBar->addPermanentWidget(pane);
        }
        pane->setObjectName(QStringLiteral("Pane%1").arg(id));
        m_panes.push_back(pane);
    }
    // The progress figures, beside the program's panes: shown while a load or capture runs.
    m_pProgressBar = new QProgressBar(m_wndStatusBar);
    m_pProgressBar->setObjectName(QStringLiteral("ProgressBar"));
    m_pProgressBar->setAccessibleName(tr("Progress"));
    m_pProgressBar->setRange(0, 100);
    m_pProgressBar->setFixedWidth(m_pProgressBar->fontMetrics().horizontalAdvance(QStringLiteral("file 888 of 888")) + 16);
    m_pProgressBar->hide();
    m_wndStatusBar->insertWidget(1, m_pProgressBar);
    m_pProgressText = new QLabel(m_wndStatusBar);
    m_pProgressText->setObjectName(QStringLiteral("ProgressText"));
    m_pProgressText->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_pProgressText->hide();
    m_wndStatusBar->insertWidget(2, m_pProgressText, 2);
    m_pBreakPending = new QLabel(tr("Break after this file"), m_wndStatusBar);
    m_pBreakPending->setObjectName(QStringLiteral("BreakPending"));
    m_pBreakPending->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    m_pBreakPending->hide();
    m_wndStatusBar->insertWidget(3, m_pBreakPending);

    // Pane 0 is shared with the command prompts: once a prompt goes away the idle
    // prompt shows again (or how the last job ended), until the next job message sets
    // the status word.
    connect(m_wndStatusBar, &QStatusBar::messageChanged, this, [this](const QString& message) {
        if (message.isEmpty()) {
            SetPaneText(0, m_strEndStatus.isEmpty() ? LoadResString(AFX_IDS_IDLEMESSAGE) : m_strEndStatus);
        }
    });
}

QAction* CMainFrame::GetAction(int id) const
{
    auto it = m_commands.find(id);
    return it == m_commands.end() ? nullptr : it->second.action;
}

void CMainFrame::ShowProgress(const TapeCounters& counters)
{
    if (counters.bFinal) {
        m_pProgressBar->hide();
        m_pProgressText->hide();
        m_strProgress.clear();
        return;
    }
    const ProgressFigures figures = m_progress.Take(counters, ProgressMeter::Clock::now());
    // The bar shows the share done (of the image, or of the files of the selection); the
    // text beside it the rest of the figures, cut where the window is narrow (its tool tip
    // holds them whole).
    const QString text = QString::fromStdString(ProgressLine(figures));
    m_strProgress = text;
    if (figures.percent >= 0) {
        m_pProgressBar->setRange(0, 100);
        m_pProgressBar->setValue(figures.percent);
        m_pProgressBar->setFormat(QStringLiteral("%p %"));
    } else if (figures.files > 0) {
        m_pProgressBar->setRange(0, static_cast<int>(figures.files));
        m_pProgressBar->setValue(figures.file - 1);
        m_pProgressBar->setFormat(tr("file %1 of %2").arg(figures.file).arg(figures.files));
    }
    m_pProgressBar->setToolTip(text);
    m_pProgressBar->setVisible(figures.percent >= 0 || figures.files > 0);
    ProgressFigures rest = figures;
    rest.percent = -1;
    rest.files = 0;
    m_pProgressText->setText(QString::fromStdString(ProgressLine(rest)));
    m_pProgressText->setToolTip(text);
    m_pProgressText->show();
}

bool CMainFrame::IsBreakPendingShown() const
{
    return m_pBreakPending && !m_pBreakPending->isHidden();
}

QString CMainFrame::GetProgressText() const
{
    return m_strProgress;
}

void CMainFrame::SetPaneText(int pane, const QString& text)
{
    // setText schedules a repaint; many updates between two paints cost one paint.
    if (pane >= 0 && pane < static_cast<int>(m_panes.size())) {
        m_panes[pane]->setText(text);
    }
}

void CMainFrame::SetEndStatus(const QString& text)
{
    m_strEndStatus = text;
    if (!m_panes.empty()) {
        m_panes[0]->setToolTip(text);
    }
    if (!text.isEmpty()) {
        SetPaneText(0, text);
    }
}

QString CMainFrame::GetPaneText(int pane) const
{
    return pane >= 0 && pane < static_cast<int>(m_panes.size()) ? m_panes[pane]->text() : QString();
}

// A job or a validation runs, or the window is closing: nothing else may start.
bool CMainFrame::IsBusy() const
{
    return m_jobs.GetJobCount() != 0 || m_bValidating || m_bClosePending;
}

bool CMainFrame::IsNoDriveState() const
{
    return m_aspi->m_bInitialized && m_aspi->m_devices.empty();
}

std::string CMainFrame::GetDeviceText()
{
    if (m_aspi->m_bInitialized) {
        if (m_aspi->m_devices.empty()) {
            return "(NO DEVICE)";
        }
        if (m_nCurrentDevice < 0 || m_nCurrentDevice >= static_cast<int32_t>(m_aspi->m_devices.size())) {
            m_nCurrentDevice = 0;
        }
        auto it = m_aspi->m_devices.begin();
        std::advance(it, m_nCurrentDevice);
        std::string text = "(";  // appended, not "(" + ...: GCC 12 -O3 warns of an overlap there
        text += DeviceEntryText(*it);
        text += ')';
        return text;
    }
    if (m_nCurrentDevice < 0 || m_nCurrentDevice > 3) {
        m_nCurrentDevice = 0;
    }
    std::string text = "(TAPE";
    text += std::to_string(m_nCurrentDevice);
    text += ')';
    return text;
}

void CMainFrame::UpdateTitle()
{
    setWindowTitle(QStringLiteral("Kellovaran    ") + QString::fromLocal8Bit(GetDeviceText()));
}

std::vector<std::string> CMainFrame::GetDeviceEntries() const
{
    std::vector<std::string> entries;
    if (m_aspi->m_bInitialized) {
        for (const AspiDevice& device : m_aspi->m_devices) {
            entries.push_back(DeviceEntryText(device));
        }
    } else {
        for (int n = 0; n < 4; ++n) {
            entries.push_back("TAPE" + std::to_string(n));
        }
    }
    return entries;
}

void CMainFrame::UpdateCommandUI()
{
    for (auto& [id, command] : m_commands) {
        if (command.update) {
            (this->*command.update)(command.action);
        }
    }
}

void CMainFrame::OnUpdateSelectTape(QAction* cmdUI)
{
    cmdUI->setEnabled(!IsNoDriveState());
}

void CMainFrame::OnUpdateTapeCommand(QAction* cmdUI)
{
    cmdUI->setEnabled(!IsNoDriveState() && !IsBusy());
}

// Validating and opening an image need no drive, only that nothing else runs.
void CMainFrame::OnUpdateImageCommand(QAction* cmdUI)
{
    cmdUI->setEnabled(!IsBusy());
}

void CMainFrame::OnUpdateBreak(QAction* cmdUI)
{
    uint32_t immediately = 0;
    const uint32_t requested = m_jobs.GetBreakRequest(immediately);
    cmdUI->setEnabled((!IsNoDriveState() && m_jobs.GetJobCount() == 1 && !(requested && immediately))
                      || (m_bValidating && !m_bStopValidation));
}

// A choice for the next load: a load already running keeps what it started with.
void CMainFrame::OnWriteReport()
{
    m_loadOptions.writeChecksumsAndReport = !m_loadOptions.writeChecksumsAndReport;
    UpdateCommandUI();
}

void CMainFrame::OnUpdateWriteReport(QAction* cmdUI)
{
    cmdUI->setCheckable(true);
    cmdUI->setChecked(m_loadOptions.writeChecksumsAndReport);
}

// A choice for the loads to come; a running load keeps the one it started with.
void CMainFrame::OnNoClobber()
{
    m_loadOptions.noClobber = !m_loadOptions.noClobber;
    UpdateCommandUI();
}

void CMainFrame::OnUpdateNoClobber(QAction* cmdUI)
{
    cmdUI->setCheckable(true);
    cmdUI->setChecked(m_loadOptions.noClobber);
}

void CMainFrame::OnSelectTape()
{
    CChooseTapeDlg dialog(this);
    dialog.m_astrDevices = GetDeviceEntries();
    dialog.m_nDevice = m_nCurrentDevice;
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    // The dialog answers 0 even for an empty list; only a position inside it is a device.
    if (dialog.m_nDevice < 0 || dialog.m_nDevice >= static_cast<int32_t>(dialog.m_astrDevices.size())) {
        return;
    }
    m_nCurrentDevice = dialog.m_nDevice;
    setWindowTitle(QStringLiteral("Kellovaran    (%1)").arg(QString::fromLocal8Bit(dialog.m_astrDevices[m_nCurrentDevice])));
    UpdateCommandUI();
}

void CMainFrame::OnLoadFiles()
{
    WaitCursor wait(this);
    CLoadAllFilesDialog dialog(this);
    dialog.m_strPath = m_strPath;
    dialog.m_strFileBase = m_strFileBase;
    dialog.m_strSelection = m_strSelection;
    dialog.m_bBag = m_loadOptions.bag;
    dialog.m_bNameFromLabels = m_loadOptions.nameFromLabels;
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    m_strPath = dialog.m_strPath;
    m_strFileBase = dialog.m_strFileBase;
    m_strSelection = dialog.m_strSelection;
    m_loadOptions.bag = dialog.m_bBag;
    m_loadOptions.nameFromLabels = dialog.m_bNameFromLabels;
    StartJob(TAPE_JOB_LOAD);
}

// The scan's report and map go to a folder of their own under the system's temporary one,
// removed once the list has been shown: nothing of it is left among the user's files.
void CMainFrame::OnTapeContents()
{
    // The folder of a scan still running is its own: a second command must not take it away.
    if (m_pScanFolder || m_jobs.GetJobCount() != 0)
        return;
    auto folder = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/kellovaran-scan-XXXXXX"));
    if (!folder->isValid()) {
        m_pView->AppendErrorText(
            ("Can't make a folder for the scan's report: " + folder->errorString().toStdString() + "\n\n").c_str());
        return;
    }
    m_pScanFolder = std::move(folder);
    if (!StartJob(TAPE_JOB_LOAD, true))
        m_pScanFolder.reset();
}

// The scan has ended: its files are listed, and the ticked ones become the selection the
// next "Load files from tape..." offers. A scan cut short lists the files it read.
void CMainFrame::ShowTapeContents()
{
    const std::unique_ptr<QTemporaryDir> folder = std::move(m_pScanFolder);  // removed on return
    if (m_bClosePending)
        return;
    std::vector<TapeContentsRow> rows;
    std::string error;
    if (!ReadTapeContents(folder->path().toLocal8Bit().toStdString() + "/scan.json", rows, error) || rows.empty()) {
        m_pView->AppendLogText("Tape contents: the scan read no file of the tape\n\n");
        return;
    }
    CTapeContentsDialog dialog(std::move(rows), this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    m_strSelection = dialog.m_strSelection;
    m_pView->AppendLogText(("Selection for the next load: " + m_strSelection + "\n\n").c_str());
}

void CMainFrame::OnRewind()
{
    StartJob(TAPE_JOB_REWIND);
}

void CMainFrame::OnEject()
{
    StartJob(TAPE_JOB_EJECT);
}

// The chooser starts in the folder of the last image, else in the load's folder.
void CMainFrame::OnSaveTapeImage()
{
    // The first time, the tape's name in the load's folder: an image's own name, else the drive's.
    std::string folder = m_strImageFile;
    if (folder.empty()) {
        const std::vector<std::string>& images = DeviceNamespace::TapeImages();
        std::string name = m_nCurrentDevice >= 0 && static_cast<size_t>(m_nCurrentDevice) < images.size()
                               ? std::filesystem::path(images[m_nCurrentDevice]).stem().string()
                               : DeviceNamespace::DeviceName(m_nCurrentDevice).substr(4);
        folder = m_strPath + "/" + (name.empty() ? std::string("tape") : name) + ".tap";
    }
    if (AskTapeImageFile(this, folder, m_strImageFile, m_nImageType)) {
        StartJob(TAPE_JOB_CAPTURE);
    }
}

// The walk reads the whole image twice: it runs on a thread of its own, which only posts to
// this one, so the window stays live and closing it waits for nothing but the next check.
void CMainFrame::OnValidateTapeImage()
{
    if (IsBusy())
        return;
    const std::string folder = m_strReadImage.empty() ? m_strPath : m_strReadImage;
    std::string path;
    if (!AskTapeImageToRead(this, QStringLiteral("Validate tape image"), folder, path))
        return;
    m_strReadImage = path;
    std::error_code sizeError;
    const uintmax_t size = std::filesystem::file_size(path, sizeError);
    const uint64_t total = sizeError ? 0 : 2 * static_cast<uint64_t>(size);  // both walks
    m_pView->AppendLogText(("Validating tape image '" + path + "'\n").c_str());
    SetEndStatus(QString());
    SetPaneText(0, QStringLiteral("Validating"));
    m_bStopValidation = false;
    m_bValidating = true;
    const std::optional<ImageFormat> format = DeviceNamespace::ImageOptions().format;
    m_validationThread = std::thread([this, path, format, total] {
        ImageValidation result;
        std::string error;
        const bool opened = ValidateImage(path, format, result, error, [this, total](uint64_t walked) {
            if (total > 0) {
                const int percent = static_cast<int>(std::min<uint64_t>(100, walked * 100 / total));
                QMetaObject::invokeMethod(this, [this, percent] {
                    if (m_bValidating)
                        SetPaneText(0, QStringLiteral("Validating: %1%").arg(percent));
                }, Qt::QueuedConnection);
            }
            return !m_bStopValidation;
        });
        QMetaObject::invokeMethod(this, [this, path, opened, result, error] {
            OnValidationEnded(path, opened, result, error);
        }, Qt::QueuedConnection);
    });
    UpdateCommandUI();
}

void CMainFrame::OnValidationEnded(const std::string& path, bool opened, const ImageValidation& result,
                                   const std::string& error)
{
    if (m_validationThread.joinable())
        m_validationThread.join();  // it has posted its last word
    m_bValidating = false;
    if (!opened && m_bStopValidation) {
        m_pView->AppendLogText("Validation stopped by user\n\n");
        SetEndStatus(QStringLiteral("Stopped by user"));
    } else if (!opened) {
        m_pView->AppendErrorText(("Can't validate tape image '" + path + "': " + error + "\n").c_str());
        m_pView->AppendLogText("\n");
        SetEndStatus(QStringLiteral("Failed: ") + QString::fromLocal8Bit(error));
    } else {
        // The report as the command line prints it; its damage line in red.
        const std::string text = ValidationText(path, result);
        size_t at = 0;
        while (at < text.size()) {
            size_t end = text.find('\n', at);
            end = end == std::string::npos ? text.size() : end + 1;
            const std::string line = text.substr(at, end - at);
            if (line.rfind("DAMAGED", 0) == 0)
                m_pView->AppendErrorText(line.c_str());
            else
                m_pView->AppendLogText(line.c_str());
            at = end;
        }
        m_pView->AppendLogText("\n");
        SetEndStatus(result.damaged ? QStringLiteral("Validated: damaged") : QStringLiteral("Validated: clean"));
    }
    UpdateCommandUI();
}

void CMainFrame::StopValidation()
{
    m_bStopValidation = true;
    if (m_validationThread.joinable())
        m_validationThread.join();
}

void CMainFrame::OnOpenTapeImage()
{
    if (IsBusy())
        return;
    const std::string folder = m_strReadImage.empty() ? m_strPath : m_strReadImage;
    std::string path;
    if (!AskTapeImageToRead(this, QStringLiteral("Open tape image"), folder, path))
        return;
    m_strReadImage = path;
    OpenTapeImage(path);
}

bool CMainFrame::OpenTapeImage(const std::string& path)
{
    // The namespace may change only while no job holds a drive of it.
    if (IsBusy())
        return false;
    // A file no format fits would only fail at the first command: say so now.
    uint32_t error = 0;
    const auto format = DeviceNamespace::ImageOptions().format;
    if (!format && !DetectImageFileFormat(path, error)) {
        std::string reason = SystemMessage(error);
        while (!reason.empty() && reason.back() == '\n')
            reason.pop_back();
        m_pView->AppendErrorText(("Can't open tape image '" + path + "': " + reason + "\n").c_str());
        m_pView->AppendLogText("\n");
        return false;
    }
    const int index = DeviceNamespace::AddTapeImage(path);
    RebindAspi();
    m_nCurrentDevice = index;
    UpdateTitle();
    m_pView->AppendLogText(("Tape image '" + path + "' opened as " + DeviceNamespace::DeviceName(index).substr(4) + "\n")
                               .c_str());
    m_pView->AppendLogText(DescribeTapeDrives(*m_aspi).c_str());
    UpdateCommandUI();
    return true;
}

void CMainFrame::RebindAspi()
{
    // The old binding goes first: the provider reads the namespace when it is bound.
    m_aspi.reset();
    m_aspi = std::make_unique<ReAspiManager>();
    if (m_aspi->Initialize()) {
        m_aspi->Rescan();
    }
}

void CMainFrame::CreateMapDock()
{
    m_pMapView = new TapeMapView;
    auto* scroll = new QScrollArea;
    scroll->setWidget(m_pMapView);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    m_pMapDock = new QDockWidget(tr("Tape map"), this);
    m_pMapDock->setObjectName(QStringLiteral("TapeMapDock"));
    m_pMapDock->setWidget(scroll);
    m_pMapDock->setAllowedAreas(Qt::BottomDockWidgetArea | Qt::RightDockWidgetArea);
    addDockWidget(Qt::BottomDockWidgetArea, m_pMapDock);
    m_pMapDock->hide();  // shown by the first load or capture, or from the View menu
    m_pMapView->SetMap(nullptr);
}

void CMainFrame::OnViewTapeMap()
{
    m_pMapDock->setVisible(m_pMapDock->isHidden());
    UpdateCommandUI();
}

void CMainFrame::OnUpdateViewTapeMap(QAction* cmdUI)
{
    cmdUI->setCheckable(true);
    cmdUI->setChecked(m_pMapDock && !m_pMapDock->isHidden());
}

bool CMainFrame::StartJob(int32_t kind, bool scan)
{
    // The enable rules keep a second job from starting; a shortcut or a stale button must
    // not get past them either.
    if (IsNoDriveState() || IsBusy()) {
        return false;
    }
    const bool load = kind == TAPE_JOB_LOAD;
    scan = scan && load && m_pScanFolder;
    std::string path = scan ? m_pScanFolder->path().toLocal8Bit().toStdString() : load ? m_strPath : std::string();
    std::string base = scan ? std::string("scan") : load ? m_strFileBase : std::string();
    const std::string selection = scan ? std::string(1, '*') : load ? m_strSelection : std::string();
    if (kind == TAPE_JOB_CAPTURE) {  // the image's folder and name
        const size_t slash = m_strImageFile.rfind('/');
        path = slash == std::string::npos ? "." : m_strImageFile.substr(0, slash);
        base = m_strImageFile.substr(slash == std::string::npos ? 0 : slash + 1);
    }
    SetEndStatus(QString());  // the new job's messages set the status word from here on
    m_progress.Start(ProgressMeter::Clock::now(), load ? FilesToRead(selection) : 0);
    TapeJob* job = m_jobs.AddJob(path, base, selection, m_nCurrentDevice, &m_jobs, m_pView, kind);
    if (job && (load || kind == TAPE_JOB_CAPTURE)) {
        job->m_loadOptions = m_loadOptions;
        job->m_loadOptions.scanOnly = scan;  // takes the read-error choices, writes only its report
        // A new map for each load or capture, drawn as it grows and kept after it ends.
        job->m_pMap = std::make_shared<TapeMap>();
        m_pMapView->SetMap(job->m_pMap);
        if (m_pMapDock->isHidden()) {
            m_pMapDock->show();
            resizeDocks({m_pMapDock}, {height() * 2 / 5}, Qt::Vertical);
        }
    }
    if (job && kind == TAPE_JOB_CAPTURE) {
        const ImageFileType& type = SaveImageFileTypes().at(m_nImageType);
        job->m_captureOptions.format = type.format;
        job->m_captureOptions.compression = type.compression;
    }
    const bool started = job && StartJobThread(job);
    if (job && !started) {
        m_pView->AppendLogText("Can't start a thread for the operation\n\n");
    }
    UpdateCommandUI();
    return started;
}

void CMainFrame::OnBreak()
{
    if (m_bValidating) {
        m_bStopValidation = true;  // the walk stops at its next check
        UpdateCommandUI();
        return;
    }
    uint32_t immediately = 1;
    if (m_jobs.GetSingleJobKind() == TAPE_JOB_LOAD) {
        // Cancel (and Escape) backs out of the question: the load goes on as if it was never asked.
        const auto answer = QMessageBox::question(
            this, LoadResString(AFX_IDS_APP_TITLE),
            QStringLiteral("Operation may be broken immediately or after current file is read.\n Break immediately?"),
            QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::Yes);
        if (answer != QMessageBox::Yes && answer != QMessageBox::No)
            return;
        if (m_jobs.GetJobCount() == 0)
            return;  // it ended while the question was open
        immediately = answer == QMessageBox::Yes ? 1 : 0;
    }
    m_jobs.SetBreakRequest(1, immediately);
    m_pBreakPending->setVisible(!immediately);
    UpdateCommandUI();
}

// The choice applies to the loads started after it; a running one keeps its own.
void CMainFrame::OnReadErrorsStop()
{
    m_loadOptions.onReadError = LoadOptions::ReadErrors::Stop;
    UpdateCommandUI();
}

void CMainFrame::OnReadErrorsSkip()
{
    m_loadOptions.onReadError = LoadOptions::ReadErrors::Skip;
    UpdateCommandUI();
}

void CMainFrame::OnUpdateReadErrors(QAction* cmdUI)
{
    const auto choice = cmdUI->data().toInt() == ID_READ_ERRORS_SKIP ? LoadOptions::ReadErrors::Skip
                                                                     : LoadOptions::ReadErrors::Stop;
    cmdUI->setChecked(m_loadOptions.onReadError == choice);
}

void CMainFrame::OnAppExit()
{
    close();
}

// The log is the user's record of a session: it goes to a file of their choosing as it
// stands, written to a temporary name and renamed, so a failed save never leaves half a log.
void CMainFrame::OnSaveLog()
{
    // Offered: <base>.log in the load's folder; a name without an extension gets ".log".
    const QString suggested = QString::fromLocal8Bit(m_strPath + "/" + m_strFileBase + ".log");
    QString name = SaveLogChooser()(this, suggested);
    if (name.isEmpty())
        return;
    if (QFileInfo(name).suffix().isEmpty())
        name += QStringLiteral(".log");
    QSaveFile file(name);
    const QByteArray text = m_pView->toPlainText().toUtf8() + '\n';
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        QMessageBox::warning(this, LoadResString(AFX_IDS_APP_TITLE),
                             QStringLiteral("The log could not be saved to %1:\n%2").arg(name, file.errorString()));
    }
}

CMainFrame::FileChooser& CMainFrame::SaveLogChooser()
{
    static FileChooser chooser = [](QWidget* owner, const QString& suggested) {
        return QFileDialog::getSaveFileName(owner, QStringLiteral("Save log"), suggested,
                                            QStringLiteral("Log files (*.log *.txt);;All files (*)"));
    };
    return chooser;
}

void CMainFrame::SetSaveLogChooserForTesting(FileChooser chooser)
{
    static const FileChooser real = SaveLogChooser();
    SaveLogChooser() = chooser ? std::move(chooser) : real;
}

void CMainFrame::closeEvent(QCloseEvent* event)
{
    if (m_jobs.GetJobCount() == 0) {
        // A validation only reads: it is stopped, not asked about.
        StopValidation();
        event->accept();
        return;
    }
    // A close by mistake must not cost the user a running copy: ask first.
    if (!m_bClosePending) {
        const auto answer = QMessageBox::question(this, LoadResString(AFX_IDS_APP_TITLE),
                                                  QStringLiteral("A tape job is running. Stop it and close the window?"),
                                                  QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes) {
            event->ignore();
            return;
        }
        if (m_jobs.GetJobCount() == 0) {  // it ended while the question was shown
            event->accept();
            return;
        }
    }
    // A worker still uses the job list and reports to the view: break it off at once and
    // close when it has ended. The UI keeps running meanwhile, so the worker's last
    // messages are shown and it can finish.
    event->ignore();
    if (!m_bClosePending) {
        m_bClosePending = true;
        m_jobs.SetBreakRequest(1, 1);
        m_pView->AppendLogText("Closing: the current operation is being broken off; the window closes when it has ended\n");
        SetPaneText(0, QStringLiteral("Closing"));
        UpdateCommandUI();
    }
}

void CMainFrame::OnJobEnded()
{
    if (m_jobs.GetJobCount() == 0)
        m_pBreakPending->hide();
    // The job's final counters said "Ready" already; the status word tells how it really
    // ended. A job started since (the news comes queued) has the word to itself.
    if (m_jobs.GetJobCount() == 0) {
        SetEndStatus(QString::fromLocal8Bit(JobEndStatusText(m_jobs.GetLastResult(), m_jobs.GetLastFailure())));
    }
    UpdateCommandUI();
    emit JobEnded();
    if (m_pScanFolder && m_jobs.GetJobCount() == 0) {
        ShowTapeContents();
    }
    if (m_bClosePending && m_jobs.GetJobCount() == 0) {
        close();
    }
}
