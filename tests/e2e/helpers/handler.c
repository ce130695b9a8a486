/* Stands in for Windows App Installer: registered for the installer's file
   types, it appends the command line it was started with to opened.log
   beside itself, and ends. */
#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR args, int show) {
  (void)instance; (void)previous; (void)show;
  wchar_t log_path[MAX_PATH];
  DWORD n = GetModuleFileNameW(NULL, log_path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return 1;
  wchar_t* slash = log_path + n;
  while (slash > log_path && *slash != L'\\') --slash;
  lstrcpyW(slash + 1, L"opened.log");
  HANDLE log = CreateFileW(log_path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_ALWAYS, 0, NULL);
  if (log == INVALID_HANDLE_VALUE) return 1;
  char line[8192];
  int len = WideCharToMultiByte(CP_UTF8, 0, args, -1, line, sizeof line - 1, NULL, NULL);
  if (len > 0) {
    line[len - 1] = '\n';
    DWORD written;
    WriteFile(log, line, (DWORD)len, &written, NULL);
  }
  CloseHandle(log);
  return 0;
}
