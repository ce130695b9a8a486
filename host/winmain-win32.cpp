// The process entry and the one application object.
#include <windows.h>

#include "host/framework.h"
#include "host/installer_app.h"
#include "host/startup_text.h"
#include "platform/common-win32.h"

namespace {

// Every DLL loaded from here on, by us or by the system on our behalf (the
// shell and the download service pull in many), comes from the system folder
// only: never from the folder the installer was downloaded into. The entry
// point is missing on systems without the update that added it, which then
// keep their default search order.
void SearchSystemFolderOnly() {
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  if (const auto entry =
          win32::Kernel32Entry<SetDefaultDllDirectoriesFn>("SetDefaultDllDirectories")) {
    static_cast<void>(entry(LOAD_LIBRARY_SEARCH_SYSTEM32));
  }
}

}  // namespace

// Constructed during static initialisation, before wWinMain runs; it
// registers itself with the framework.
CQuillmoorInstallerApp theApp;

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE /*previous*/, PWSTR /*commandLineTail*/,
                    int showCommand) {
  SearchSystemFolderOnly();
  // The tail is taken from the full command line by our own rule rather
  // than the C runtime's, so that what reaches the restart registration is
  // what the tests pin down.
  const char16_t* commandLine = win32::Utf16(GetCommandLineW());
  return FrameworkMain(instance, framework::CommandLineTail(commandLine), showCommand);
}
