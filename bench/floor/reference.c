/* The start-up reference: the least a program can do to hand the manifest to
   App Installer. It fetches the manifest's address into the temporary folder
   with URLDownloadToFileW and asks the shell to open it, as the installer
   does on its usual road, and nothing else. bench/startup.py builds it with
   the installer's settings and MANIFEST_URL defined to the test server's
   manifest address, and times it against the installer. */
#include <windows.h>

#include <shellapi.h>
#include <urlmon.h>

#ifndef MANIFEST_URL
#error "MANIFEST_URL must be defined to the manifest's address, as a wide string"
#endif

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR args, int show) {
  (void)instance;
  (void)previous;
  (void)args;
  (void)show;
  static const wchar_t kName[] = L"Lanternfold-8.appinstaller";
  wchar_t path[MAX_PATH + sizeof kName / sizeof kName[0]];
  DWORD n = GetTempPathW(MAX_PATH, path);
  if (n == 0 || n >= MAX_PATH) return 1;
  for (size_t i = 0; i < sizeof kName / sizeof kName[0]; ++i) path[n + i] = kName[i];
  if (FAILED(URLDownloadToFileW(NULL, MANIFEST_URL, path, 0, NULL))) return 1;
  SHELLEXECUTEINFOW info;
  ZeroMemory(&info, sizeof info);
  info.cbSize = sizeof info;
  info.lpVerb = L"open";
  info.lpFile = path;
  info.nShow = SW_SHOWNORMAL;
  return ShellExecuteExW(&info) ? 0 : 1;
}
