#include <gtest/gtest.h>

#include "host/framework.h"
#include "host/installer_app.h"
#include "host/startup_text.h"
#include "tests/fake_platform.h"

namespace {

using namespace std::literals;

TEST(StartupText, CommandLineTail) {
  const struct {
    std::u16string_view commandLine;
    std::u16string_view tail;
  } cases[] = {
      {u"Quillmoor.Installer.exe", u""},
      {u"Quillmoor.Installer.exe   ", u""},
      {u"Quillmoor.Installer.exe a b", u"a b"},
      {u"Quillmoor.Installer.exe \t a  b ", u"a  b "},
      {u"\"C:\\Program Files\\Quillmoor.Installer.exe\" a b", u"a b"},
      {u"\"C:\\Program Files\\Quillmoor.Installer.exe\"", u""},
      {u"\"C:\\Program Files\\x.exe\"a b", u"b"},
      {u"C:\\\"Program Files\"\\x.exe a", u"a"},
      {u"\"unterminated a b", u""},
      {u"x.exe\ta", u"a"},
      {u"x.exe a\0hidden"sv, u"a"},
      {u"", u""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(framework::CommandLineTail(c.commandLine), c.tail) << fake::ToUtf8(c.commandLine);
  }
}

TEST(StartupText, RestartIdentifierCase) {
  const struct {
    framework::Guid guid;
    std::u16string_view text;
  } cases[] = {
      {{0xABCDEF01, 0xABCD, 0xABCD, {0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, 0x67, 0x89}},
       u"ABCDEF01-ABCD-abcd-ABCD-EF0123456789"},
      {{0x0000000A, 0x000B, 0x000C, {0, 0x0D, 0, 0, 0, 0, 0, 0x0E}},
       u"0000000A-000B-000c-000D-00000000000E"},
      {{0xFFFFFFFF, 0xFFFF, 0xFFFF, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
       u"FFFFFFFF-FFFF-ffff-FFFF-FFFFFFFFFFFF"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(framework::FormatRestartIdentifier(c.guid), c.text) << fake::ToUtf8(c.text);
  }
}

TEST(StartupText, RestartCommandLine) {
  const std::u16string_view id = u"ABCDEF01-ABCD-abcd-ABCD-EF0123456789";
  const struct {
    std::u16string_view tail;
    std::u16string_view commandLine;
  } cases[] = {
      {u"", u" /RestartByRestartManager:ABCDEF01-ABCD-abcd-ABCD-EF0123456789"},
      {u"a b", u"a b /RestartByRestartManager:ABCDEF01-ABCD-abcd-ABCD-EF0123456789"},
      // An earlier restart carries another identifier: a second argument follows it.
      {u"/RestartByRestartManager:11111111-2222-3333-4444-555555555555",
       u"/RestartByRestartManager:11111111-2222-3333-4444-555555555555"
       u" /RestartByRestartManager:ABCDEF01-ABCD-abcd-ABCD-EF0123456789"},
      // The same argument already there is not repeated.
      {u"x /RestartByRestartManager:ABCDEF01-ABCD-abcd-ABCD-EF0123456789",
       u"x /RestartByRestartManager:ABCDEF01-ABCD-abcd-ABCD-EF0123456789"},
      // The search is case-sensitive.
      {u"/restartbyrestartmanager:ABCDEF01-ABCD-abcd-ABCD-EF0123456789",
       u"/restartbyrestartmanager:ABCDEF01-ABCD-abcd-ABCD-EF0123456789"
       u" /RestartByRestartManager:ABCDEF01-ABCD-abcd-ABCD-EF0123456789"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(framework::RestartCommandLine(c.tail, id), c.commandLine) << fake::ToUtf8(c.tail);
  }
}

TEST(StartupText, SatelliteName) {
  EXPECT_EQ(framework::SatelliteName(u"C:\\Users\\u\\Downloads\\Quillmoor.Installer", u"ENU"),
            u"C:\\Users\\u\\Downloads\\Quillmoor.InstallerENU.dll");
  EXPECT_EQ(framework::SatelliteName(u"C:\\a b\\x", u"LOC"), u"C:\\a b\\xLOC.dll");
}

// An application that records its hooks around the framework's own.
class RecordingApp : public CWinApp {
 public:
  bool initApplication = true;
  bool initInstance = false;

  bool InitApplication() override {
    Record("InitApplication");
    return initApplication;
  }
  bool InitInstance() override {
    Record("InitInstance");
    static_cast<void>(CWinApp::InitInstance());
    return initInstance;
  }
  int ExitInstance() override {
    Record("ExitInstance");
    return CWinApp::ExitInstance();
  }

 private:
  static void Record(const char* hook) { fake::Fake().calls.emplace_back(hook); }
};

class FrameworkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    fake::Fake().script.satellite = &satellite_;
  }
  int satellite_ = 0;
  int instance_ = 0;
};

TEST_F(FrameworkTest, HookOrder) {
  struct Case {
    const char* name;
    bool initApplication;
    bool initInstance;
    std::uint32_t restartFlags;
    int exitCode;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {"start-up hook declines",
       true,
       false,
       AFX_RESTART_MANAGER_SUPPORT_RESTART,
       0,
       {"AddErrorModeFlags(0x8001)", "InitApplication", "InitInstance", "LoadSatelliteLibrary()",
        "RegisterForRestart(a b)", "ExitInstance", "FreeSatelliteLibrary(satellite)"}},
      {"no message loop to run either way",
       true,
       true,
       AFX_RESTART_MANAGER_SUPPORT_RESTART,
       0,
       {"AddErrorModeFlags(0x8001)", "InitApplication", "InitInstance", "LoadSatelliteLibrary()",
        "RegisterForRestart(a b)", "ExitInstance", "FreeSatelliteLibrary(satellite)"}},
      {"no restart support asked for",
       true,
       false,
       0,
       0,
       {"AddErrorModeFlags(0x8001)", "InitApplication", "InitInstance", "LoadSatelliteLibrary()",
        "ExitInstance", "FreeSatelliteLibrary(satellite)"}},
      {"application start-up fails",
       false,
       false,
       AFX_RESTART_MANAGER_SUPPORT_RESTART,
       -1,
       {"AddErrorModeFlags(0x8001)", "InitApplication"}},
  };
  for (const Case& c : cases) {
    fake::Fake().calls.clear();
    RecordingApp app;
    app.initApplication = c.initApplication;
    app.initInstance = c.initInstance;
    app.m_dwRestartManagerSupportFlags = c.restartFlags;
    EXPECT_EQ(FrameworkMain(&instance_, u"a b", 10), c.exitCode) << c.name;
    EXPECT_EQ(fake::Fake().calls, c.calls) << c.name;
    EXPECT_EQ(app.m_hLangResourceDLL, nullptr) << c.name << ": the satellite is freed once";
  }
}

TEST_F(FrameworkTest, ApplicationGetsItsStartupValues) {
  RecordingApp app;
  EXPECT_EQ(FrameworkMain(&instance_, u"a b", 10), 0);
  EXPECT_EQ(app.m_hInstance, &instance_);
  EXPECT_EQ(app.m_lpCmdLine, u"a b");
  EXPECT_EQ(app.m_nCmdShow, 10);
}

TEST_F(FrameworkTest, NoSatelliteIsNothingToFree) {
  fake::Fake().script.satellite = nullptr;
  RecordingApp app;
  app.m_dwRestartManagerSupportFlags = 0;
  EXPECT_EQ(FrameworkMain(&instance_, u"", 10), 0);
  EXPECT_EQ(fake::Fake().calls,
            (std::vector<std::string>{"AddErrorModeFlags(0x8001)", "InitApplication",
                                      "InitInstance", "LoadSatelliteLibrary()", "ExitInstance"}));
}

TEST_F(FrameworkTest, InstallerRunsTheSequenceBetweenStartupAndExit) {
  fake::Fake().script.tempPath.reset();  // the shortest road: one message
  CQuillmoorInstallerApp app;
  EXPECT_EQ(app.m_dwRestartManagerSupportFlags, AFX_RESTART_MANAGER_SUPPORT_RESTART);
  EXPECT_EQ(app.m_pszAppName, nullptr);
  EXPECT_EQ(FrameworkMain(&instance_, u"", 10), 0);
  EXPECT_EQ(fake::Fake().calls,
            (std::vector<std::string>{
                "AddErrorModeFlags(0x8001)", "LoadSatelliteLibrary()", "RegisterForRestart()",
                "TemporaryPath(260)",
                "ShowMessageBox(Unable to create the App Installer download path., Lanternfold "
                "Installer, 0x10)",
                "FreeSatelliteLibrary(satellite)"}));
}

}  // namespace
