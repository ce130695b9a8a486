/* The hand-off reference: the least a program can do to hand App Installer a
   file, on both of the installer's roads. It fetches the manifest's address
   into the temporary folder with URLDownloadToFileW and asks the shell to
   open it; only if the shell refuses, it reads the manifest, takes the Uri
   after the first "MainBundle" (UTF-8 only, no checks), resolves it with
   UrlCombineW, fetches the package the same way and asks the shell to open
   that. Nothing else: no observer, no retries, no messages, no start-up work.
   bench/downloads.py builds it with the installer's settings and MANIFEST_URL
   defined to the test server's manifest address, and times it against the
   installer. */
#include <windows.h>

#include <shellapi.h>
#include <shlwapi.h>
#include <string.h>
#include <urlmon.h>

#ifndef MANIFEST_URL
#error "MANIFEST_URL must be defined to the manifest's address, as a wide string"
#endif

static BOOL Open(const wchar_t* path) {
  SHELLEXECUTEINFOW info;
  ZeroMemory(&info, sizeof info);
  info.cbSize = sizeof info;
  info.lpVerb = L"open";
  info.lpFile = path;
  info.nShow = SW_SHOWNORMAL;
  return ShellExecuteExW(&info);
}

/* The temporary folder followed by the last "/"-segment of `url`. */
static BOOL DownloadPath(const wchar_t* url, wchar_t* path) {
  DWORD n = GetTempPathW(MAX_PATH, path);
  const wchar_t* name = wcsrchr(url, L'/');
  if (n == 0 || n >= MAX_PATH || name == NULL || n + wcslen(name) >= 2 * MAX_PATH) return FALSE;
  wcscpy(path + n, name + 1);
  return TRUE;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR args, int show) {
  (void)instance;
  (void)previous;
  (void)args;
  (void)show;
  static wchar_t manifest[2 * MAX_PATH], package[2 * MAX_PATH], uri[2048], url[2048];
  static char text[1 << 16];
  if (!DownloadPath(MANIFEST_URL, manifest)) return 1;
  if (FAILED(URLDownloadToFileW(NULL, MANIFEST_URL, manifest, 0, NULL))) return 1;
  if (Open(manifest)) return 0;

  HANDLE file = CreateFileW(manifest, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  DWORD read = 0;
  BOOL ok = file != INVALID_HANDLE_VALUE && ReadFile(file, text, sizeof text - 1, &read, NULL);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  if (!ok) return 1;
  text[read] = 0;
  const char* element = strstr(text, "MainBundle");
  const char* value = element ? strstr(element, "Uri=\"") : NULL;
  const char* end = value ? strchr(value + 5, '"') : NULL;
  if (end == NULL) return 1;
  value += 5;
  int units = MultiByteToWideChar(CP_UTF8, 0, value, (int)(end - value), uri, 2047);
  if (units <= 0) return 1;
  uri[units] = 0;
  DWORD size = 2048;
  if (FAILED(UrlCombineW(MANIFEST_URL, uri, url, &size, 0))) return 1;
  if (!DownloadPath(url, package)) return 1;
  if (FAILED(URLDownloadToFileW(NULL, url, package, 0, NULL))) return 1;
  return Open(package) ? 0 : 1;
}
