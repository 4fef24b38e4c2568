// The main window: owns the job list, the ASPI manager, the settings offered to the next
// load and the chosen tape device; turns the user's commands into tape jobs and decides
// which commands are enabled.
#pragma once
#include "aspi/ReAspiManager.h"
#include "tape/TapeJob.h"
#include "tape/Progress.h"
#include "tape/TapeJobList.h"

#include <QMainWindow>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class CChildView;
class QDockWidget;
class QProgressBar;
class TapeMapView;
class QAction;
class QLabel;
class QMenu;
struct MenuItemResource;
class QStatusBar;
class QTemporaryDir;
class QToolBar;
struct ImageValidation;

class CMainFrame : public QMainWindow {
    Q_OBJECT

public:
    CMainFrame();
    ~CMainFrame() override;

    // Frame creation: icon, view, tool bar, status bar, current directory, ASPI binding and
    // first scan, title. False when a part could not be made.
    bool OnCreate();
    // Creation followed by the view's initial update (start-up banner): the window is then
    // ready to be shown.
    bool LoadFrame();

    // Commands.
    void OnLoadFiles();
    void OnTapeContents();
    void OnSelectTape();
    void OnRewind();
    void OnEject();
    void OnSaveTapeImage();
    void OnValidateTapeImage();
    void OnOpenTapeImage();
    void OnBreak();
    void OnReadErrorsStop();
    void OnReadErrorsSkip();
    void OnNoClobber();
    void OnSaveLog();
    void OnAppExit();
    void OnWriteReport();
    void OnViewTapeMap();
    void OnAppAbout();
    void OnHelpManual();
    // Enable rules.
    void OnUpdateTapeCommand(QAction* cmdUI);
    void OnUpdateSelectTape(QAction* cmdUI);
    void OnUpdateBreak(QAction* cmdUI);
    void OnUpdateWriteReport(QAction* cmdUI);
    void OnUpdateReadErrors(QAction* cmdUI);
    void OnUpdateNoClobber(QAction* cmdUI);
    void OnUpdateImageCommand(QAction* cmdUI);
    void OnUpdateViewTapeMap(QAction* cmdUI);
    // Runs every update handler: the menus before they show, each command, the end of a job.
    void UpdateCommandUI();

    // Asks for the file "Save log..." writes; an empty name when the user cancels. Tests put
    // a stand-in in place of the file dialog (an empty function restores it).
    using FileChooser = std::function<QString(QWidget* owner, const QString& suggested)>;
    static void SetSaveLogChooserForTesting(FileChooser chooser);

    QAction* GetAction(int id) const;
    CChildView* GetView() const { return m_pView; }
    TapeMapView* GetMapView() const { return m_pMapView; }
    // The progress figures as the status bar shows them; empty when none show.
    QString GetProgressText() const;
    bool IsBreakPendingShown() const;
    // Pane 0 is the status word, 1 to 4 the counters (103, 105, 104, 106).
    void SetPaneText(int pane, const QString& text);
    QString GetPaneText(int pane) const;

    // ASPI initialised and no tape drive found: every tape command stays disabled.
    bool IsNoDriveState() const;
    bool IsBusy() const;
    // "(...)" of the title for the current device; corrects an out-of-range device to 0.
    std::string GetDeviceText();
    void UpdateTitle();
    // The entries the choose-tape dialog offers, in device order.
    std::vector<std::string> GetDeviceEntries() const;

    // Closing was asked for while a job ran: the frame closes once the job list is empty.
    bool IsClosePending() const { return m_bClosePending; }
    // A validation runs on its thread; no tape job nor another validation starts meanwhile.
    bool IsValidating() const { return m_bValidating; }
    // Adds the image as a drive (after the others), lists the drives again and selects it.
    // False, with a line in the log, when it is not a tape image that can be read.
    bool OpenTapeImage(const std::string& path);

    std::string m_strPath;
    std::string m_strFileBase = "file";
    std::string m_strSelection = "*";
    int32_t m_nCurrentDevice = 0;
    LoadOptions m_loadOptions;  // what the Tools menu's choices give the next load
    std::string m_strImageFile;  // the image the last "Save tape image..." was given
    size_t m_nImageType = 0;     // and its type, a position in SaveImageFileTypes()
    std::string m_strReadImage;  // the image last validated or opened
    TapeJobList m_jobs;
    // Made anew when an image is opened: the provider lists the drives when it is bound.
    std::unique_ptr<ReAspiManager> m_aspi = std::make_unique<ReAspiManager>();
    QStatusBar* m_wndStatusBar = nullptr;
    QToolBar* m_wndToolBar = nullptr;
    CChildView* m_pView = nullptr;
    QDockWidget* m_pMapDock = nullptr;
    TapeMapView* m_pMapView = nullptr;
    void CreateMapDock();

signals:
    // A tape job has ended and the commands have been updated for it (on the UI thread).
    void JobEnded();

protected:
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    static FileChooser& SaveLogChooser();

    void CreateCommands();
    void CreateMenus();
    void AddChoiceMenu(QMenu* menu, const MenuItemResource& item);
    void CreateToolBar();
    void CreateStatusBar();
    // False when no job was started. scan: a load of every file that writes no data file,
    // its report into m_pScanFolder (Tools > "Tape contents...").
    bool StartJob(int32_t kind, bool scan = false);
    // A scan for "Tape contents..." runs: its report and map go to this folder of the
    // system's temporary one, which goes when the list has been shown.
    std::unique_ptr<QTemporaryDir> m_pScanFolder;
    void ShowTapeContents();
    // Pane 0 shows text (with it as its tool tip) and goes back to it after a prompt;
    // an empty text leaves the pane to the job messages and the idle prompt.
    void SetEndStatus(const QString& text);
    // A job has ended (queued from its worker): the status word tells how, the commands
    // follow, a pending close goes on.
    void OnJobEnded();
    // Binds ASPI again and scans, so that the drive list follows the device namespace.
    void RebindAspi();
    // The validation's thread has ended (queued from it): its report goes to the log.
    void OnValidationEnded(const std::string& path, bool opened, const ImageValidation& result,
                           const std::string& error);
    // Asks a running validation to stop and waits for its thread (it never waits on this one).
    void StopValidation();

    struct Command {
        void (CMainFrame::*handler)();
        void (CMainFrame::*update)(QAction*);
        QAction* action;
    };
    std::map<int, Command> m_commands;
    std::vector<QLabel*> m_panes;
    QProgressBar* m_pProgressBar = nullptr;
    QLabel* m_pProgressText = nullptr;
    QLabel* m_pBreakPending = nullptr;  // a break after the file being read is waiting
    QString m_strProgress;              // the figures' whole line while a job runs
    ProgressMeter m_progress;
    void ShowProgress(const TapeCounters& counters);
    QString m_strEndStatus;  // how the last job ended, shown in pane 0 until the next starts
    bool m_bClosePending = false;
    bool m_bValidating = false;
    std::atomic<bool> m_bStopValidation{false};
    std::thread m_validationThread;  // joined before the frame goes
};
