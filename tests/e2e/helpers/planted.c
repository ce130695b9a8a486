/* A DLL planted beside a program under the name of a system DLL. If it is
   ever loaded, its entry point leaves C:\planted-<its name>.marker behind.
   It exports URLDownloadToFileW so that a program importing urlmon.dll
   statically does load it. */
#include <windows.h>
#include <urlmon.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  wchar_t path[MAX_PATH], marker[MAX_PATH + 32];
  DWORD n = GetModuleFileNameW(instance, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return TRUE;
  const wchar_t* name = path + n;
  while (name > path && name[-1] != L'\\') --name;
  lstrcpyW(marker, L"C:\\planted-");
  lstrcatW(marker, name);
  lstrcatW(marker, L".marker");
  HANDLE file = CreateFileW(marker, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return TRUE;
}

__declspec(dllexport) HRESULT WINAPI URLDownloadToFileW(LPUNKNOWN caller, LPCWSTR url,
                                                        LPCWSTR file, DWORD reserved,
                                                        LPBINDSTATUSCALLBACK callback) {
  (void)caller; (void)url; (void)file; (void)reserved; (void)callback;
  return E_FAIL;
}
