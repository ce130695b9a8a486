/* Plays the user in front of message boxes: every dialog box that appears
   is written to a log as "caption<TAB>text" (UTF-8, one line each) and
   answered with OK. Runs until the stop file exists.
   Usage: dismiss.exe <log> <stop file> */
#include <windows.h>

static void append_utf8(HANDLE log, const wchar_t* text) {
  char buffer[8192];
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, sizeof buffer, NULL, NULL);
  DWORD written;
  if (n > 1) WriteFile(log, buffer, (DWORD)(n - 1), &written, NULL);
}

static HWND handled[64];
static int handled_count;

static BOOL CALLBACK visit(HWND window, LPARAM lparam) {
  HANDLE log = (HANDLE)lparam;
  wchar_t cls[32];
  if (!GetClassNameW(window, cls, 32) || lstrcmpW(cls, L"#32770") != 0) return TRUE;
  /* A box becomes visible only once its texts are in place; reading it any
     earlier would record blanks and press OK on a half-made box. */
  if (!IsWindowVisible(window)) return TRUE;
  for (int i = 0; i < handled_count; ++i) {
    if (handled[i] == window) return TRUE;
  }
  wchar_t caption[512] = L"", text[4096] = L"";
  GetWindowTextW(window, caption, 512);
  GetDlgItemTextW(window, 0xFFFF, text, 4096);
  append_utf8(log, caption);
  append_utf8(log, L"\t");
  append_utf8(log, text);
  append_utf8(log, L"\n");
  FlushFileBuffers(log);
  if (handled_count < 64) handled[handled_count++] = window;
  PostMessageW(window, WM_COMMAND, IDOK, 0);
  return TRUE;
}

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  HANDLE log = CreateFileW(argv[1], FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_ALWAYS, 0, NULL);
  if (log == INVALID_HANDLE_VALUE) return 3;
  while (GetFileAttributesW(argv[2]) == INVALID_FILE_ATTRIBUTES) {
    EnumWindows(visit, (LPARAM)log);
    Sleep(50);
  }
  CloseHandle(log);
  return 0;
}
