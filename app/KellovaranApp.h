// The application object: owns the Qt application and runs the start-up in its order:
// platform set-up, frame creation (view, bars, ASPI binding and scan, title), the log's
// start-up text, and only then the window on the screen.
#pragma once
#include "app/CommandLine.h"

#include <memory>

class CMainFrame;
class QApplication;

class CKellovaranApp {
public:
    CKellovaranApp(int& argc, char** argv);
    ~CKellovaranApp();
    CKellovaranApp(const CKellovaranApp&) = delete;
    CKellovaranApp& operator=(const CKellovaranApp&) = delete;

    // Creates and shows the main window; false when it could not be made.
    bool InitInstance(const CommandLineOptions& options);
    // The message loop; its result is the program's exit status.
    int Run();

    CMainFrame* m_pMainWnd = nullptr;

private:
    std::unique_ptr<QApplication> m_app;
    std::unique_ptr<CMainFrame> m_pMainFrame;
};
