/* Imports urlmon.dll statically, as the installer must not: the control that
   shows a planted urlmon.dll is found and loaded when a program does. */
#include <windows.h>
#include <urlmon.h>

int wmain(void) {
  return SUCCEEDED(URLDownloadToFileW(NULL, L"https://localhost:1/x", L"x", 0, NULL)) ? 0 : 1;
}
