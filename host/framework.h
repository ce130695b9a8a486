// Our small stand-in for the platform's application framework: the
// application base class, its start-up work and the main routine that drives
// its hooks. Only what the installer relies on is here: the order of the
// hooks, the satellite resource library, the restart registration and the
// exit code. No window, message loop or profile is involved.
#pragma once

#include <cstdint>
#include <string>

// Restart-manager support flags of CWinApp::m_dwRestartManagerSupportFlags.
inline constexpr std::uint32_t AFX_RESTART_MANAGER_SUPPORT_RESTART = 0x01;
inline constexpr std::uint32_t AFX_RESTART_MANAGER_SUPPORT_RECOVERY = 0x02;

class CWinApp {
 public:
  // The one application object registers itself here; the main routine
  // drives whichever object is registered.
  explicit CWinApp(const char16_t* appName = nullptr);
  virtual ~CWinApp();
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  [[nodiscard]] static CWinApp* Current();

  // The framework's hooks, in the order the main routine calls them.
  virtual bool InitApplication();
  // Probes for a satellite resource library and, when asked to by
  // m_dwRestartManagerSupportFlags, registers for restart. Always true.
  virtual bool InitInstance();
  // Frees the satellite library. Returns the exit code, 0.
  virtual int ExitInstance();

  const char16_t* m_pszAppName = nullptr;
  void* m_hInstance = nullptr;
  std::u16string m_lpCmdLine;
  int m_nCmdShow = 0;
  std::uint32_t m_dwRestartManagerSupportFlags = 0;
  void* m_hLangResourceDLL = nullptr;
};

// The framework's main routine: start-up, the hooks in order, and the exit
// code. wWinMain hands over to it. The stand-in creates no window and routes
// no messages, so there is no message loop: whatever InitInstance answers,
// ExitInstance ends the application and gives the exit code.
int FrameworkMain(void* instance, std::u16string_view commandLineTail, int showCommand);
