#include "host/installer_app.h"

#include "bootstrap/sequence.h"

CQuillmoorInstallerApp::CQuillmoorInstallerApp() : CWinApp(nullptr) {
  m_dwRestartManagerSupportFlags = AFX_RESTART_MANAGER_SUPPORT_RESTART;
}

bool CQuillmoorInstallerApp::InitInstance() {
  // The framework's own start-up always succeeds as far as the installer is
  // concerned; the download goes ahead whatever it reports.
  static_cast<void>(CWinApp::InitInstance());
  return bootstrap::RunBootstrapSequence();
}
