#include "app/KellovaranApp.h"

#include "app/MainFrame.h"
#include "res/Resource.h"

#include <QApplication>

CKellovaranApp::CKellovaranApp(int& argc, char** argv) : m_app(std::make_unique<QApplication>(argc, argv))
{
    QApplication::setApplicationName(LoadResString(AFX_IDS_APP_TITLE));
    // The settings key of the program; nothing is read or written under it.
    QApplication::setOrganizationName(QStringLiteral("Local AppWizard-Generated Applications"));
}

CKellovaranApp::~CKellovaranApp()
{
    // the window (and its job list) goes before the application object
    m_pMainFrame.reset();
}

bool CKellovaranApp::InitInstance(const CommandLineOptions& options)
{
    InstallPlatformServices(options);
    m_pMainFrame = std::make_unique<CMainFrame>();
    if (!m_pMainFrame->LoadFrame()) {
        m_pMainFrame.reset();
        return false;
    }
    m_pMainWnd = m_pMainFrame.get();
    m_pMainFrame->resize(800, 600);
    m_pMainFrame->show();
    return true;
}

int CKellovaranApp::Run()
{
    return m_app->exec();
}
