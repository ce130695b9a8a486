#include "host/framework.h"

#include "host/framework_services.h"

namespace {
CWinApp* currentApp = nullptr;
}  // namespace

CWinApp::CWinApp(const char16_t* appName) : m_pszAppName(appName) { currentApp = this; }

CWinApp::~CWinApp() {
  if (currentApp == this) currentApp = nullptr;
}

CWinApp* CWinApp::Current() { return currentApp; }

bool CWinApp::InitApplication() { return true; }

bool CWinApp::InitInstance() {
  m_hLangResourceDLL = framework::LoadSatelliteLibrary();
  if ((m_dwRestartManagerSupportFlags & AFX_RESTART_MANAGER_SUPPORT_RESTART) != 0) {
    framework::RegisterForRestart(m_lpCmdLine);
  }
  return true;
}

int CWinApp::ExitInstance() {
  if (m_hLangResourceDLL != nullptr) {
    framework::FreeSatelliteLibrary(m_hLangResourceDLL);
    m_hLangResourceDLL = nullptr;
  }
  return 0;
}

int FrameworkMain(void* instance, std::u16string_view commandLineTail, int showCommand) {
  int exitCode = -1;
  // A missing floppy or an unreadable file must never stop a user with a
  // system error box: failures come back to the caller as results.
  framework::AddErrorModeFlags(framework::kSemFailCriticalErrors |
                               framework::kSemNoOpenFileErrorBox);
  CWinApp* app = CWinApp::Current();
  if (app == nullptr) return exitCode;
  app->m_hInstance = instance;
  app->m_lpCmdLine.assign(commandLineTail);
  app->m_nCmdShow = showCommand;

  if (!app->InitApplication()) return exitCode;
  // The result of InitInstance would choose between a message loop and the
  // exit; with no loop, both roads end here.
  static_cast<void>(app->InitInstance());
  exitCode = app->ExitInstance();
  return exitCode;
}
