// The process entry and the one application object.
#include <windows.h>

#include "host/framework.h"
#include "host/installer_app.h"
#include "host/startup_text.h"
#include "platform/common-win32.h"

// Constructed during static initialisation, before wWinMain runs; it
// registers itself with the framework.
CQuillmoorInstallerApp theApp;

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE /*previous*/, PWSTR /*commandLineTail*/,
                    int showCommand) {
  win32::SearchSystemFolderOnly();
  // The tail is taken from the full command line by our own rule rather
  // than the C runtime's, so that what reaches the restart registration is
  // what the tests pin down.
  const char16_t* commandLine = win32::Utf16(GetCommandLineW());
  return FrameworkMain(instance, framework::CommandLineTail(commandLine), showCommand);
}
