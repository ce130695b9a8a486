/* A satellite resource library. Its entry point leaves a marker file, so a
   test can tell whether any of its code ever ran: loaded as a data file,
   none of it may. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance; (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    HANDLE marker = CreateFileW(L"C:\\satellite-code-ran.marker", GENERIC_WRITE, 0, NULL,
                                CREATE_ALWAYS, 0, NULL);
    if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
  }
  return TRUE;
}
