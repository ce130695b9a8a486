/* The size floor: the Windows calls the installer makes, each made once in
   the plainest C, with the C runtime but not the C++ one. Built with the
   installer's size settings by bench/floors.py, it shows what those calls
   and the runtime's start-up cost on their own; whatever the installer has
   beyond it is the price of its C++ and its own logic.

   It follows the installer's road so that it is a real program, but skips
   its refinements: no bind-status callback, no retries of the temporary
   path, no UI-language probing beyond the first language. */
#include <windows.h>

#include <objbase.h>
#include <shellapi.h>
#include <shlwapi.h>
#include <stdlib.h>
#include <urlmon.h>

typedef HRESULT(WINAPI* DownloadFn)(LPUNKNOWN, LPCWSTR, LPCWSTR, DWORD, LPBINDSTATUSCALLBACK);
typedef BOOL(WINAPI* SetDllDirectoriesFn)(DWORD);
typedef HRESULT(WINAPI* RegisterRestartFn)(PCWSTR, DWORD);
typedef BOOL(WINAPI* PreferredLanguagesFn)(DWORD, PULONG, PZZWSTR, PULONG);
typedef int(WINAPI* LocaleInfoFn)(LPCWSTR, LCTYPE, LPWSTR, int);

static const wchar_t kManifestUrl[] =
    L"https://downloads.quillmoor.com/downloads/Lanternfold-8.appinstaller";
static const wchar_t kCaption[] = L"Lanternfold Installer";

static FARPROC Kernel32Entry(const char* name) {
  return GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name);
}

static wchar_t* Append(wchar_t* to, const wchar_t* text) {
  while (*text) *to++ = *text++;
  *to = 0;
  return to;
}

static HMODULE LoadSatellite(void) {
  wchar_t path[MAX_PATH + 16];
  DWORD n = GetModuleFileNameW(NULL, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return NULL;
  wchar_t* stem = PathFindExtensionW(path);
  wchar_t languages[256], abbreviation[16];
  ULONG count = 0, size = 256;
  PreferredLanguagesFn preferred =
      (PreferredLanguagesFn)(void*)Kernel32Entry("GetThreadPreferredUILanguages");
  LocaleInfoFn localeInfo = (LocaleInfoFn)(void*)Kernel32Entry("GetLocaleInfoEx");
  if (preferred == NULL || !preferred(MUI_LANGUAGE_NAME, &count, languages, &size)) {
    LCIDToLocaleName(MAKELCID(GetUserDefaultUILanguage(), SORT_DEFAULT), languages, 256, 0);
    LCIDToLocaleName(MAKELCID(GetSystemDefaultUILanguage(), SORT_DEFAULT), languages, 256, 0);
  }
  if (localeInfo && localeInfo(languages, LOCALE_SABBREVLANGNAME, abbreviation, 16) > 0) {
    Append(Append(stem, abbreviation), L".dll");
    HMODULE library = LoadLibraryExW(
        path, NULL, LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (library) return library;
  }
  Append(stem, L"LOC.dll");
  return LoadLibraryExW(path, NULL, LOAD_LIBRARY_AS_DATAFILE);
}

static void RegisterForRestart(void) {
  GUID guid;
  wchar_t line[96];
  wchar_t* at = Append(line, L" /RestartByRestartManager:");
  const unsigned char* bytes = (const unsigned char*)&guid;
  if (FAILED(CoCreateGuid(&guid))) return;
  for (int i = 0; i < 16; ++i) {
    *at++ = L"0123456789ABCDEF"[bytes[i] >> 4];
    *at++ = L"0123456789ABCDEF"[bytes[i] & 15];
  }
  *at = 0;
  RegisterRestartFn restart = (RegisterRestartFn)(void*)Kernel32Entry("RegisterApplicationRestart");
  if (restart) restart(line, 0);
}

static DownloadFn DownloadEntry(void) {
  HMODULE urlmon = LoadLibraryExW(L"urlmon.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (urlmon == NULL) {
    wchar_t path[MAX_PATH + 16];
    UINT n = GetSystemDirectoryW(path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return NULL;
    Append(path + n, L"\\urlmon.dll");
    urlmon = LoadLibraryExW(path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
  }
  return urlmon ? (DownloadFn)(void*)GetProcAddress(urlmon, "URLDownloadToFileW") : NULL;
}

static BOOL Fetch(const wchar_t* url, const wchar_t* path) {
  DownloadFn download = DownloadEntry();
  for (int attempt = 1; download && attempt <= 3; ++attempt) {
    HANDLE file = CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) {
      FILE_BASIC_INFO basic;
      LARGE_INTEGER size;
      GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic);
      GetFileSizeEx(file, &size);
      CloseHandle(file);
    }
    if (SUCCEEDED(download(NULL, url, path, 0, NULL))) return TRUE;
    if (attempt < 3) Sleep(1000);
  }
  return FALSE;
}

static BOOL Open(const wchar_t* path) {
  SHELLEXECUTEINFOW info;
  ZeroMemory(&info, sizeof info);
  info.cbSize = sizeof info;
  info.lpVerb = L"open";
  info.lpFile = path;
  info.nShow = SW_SHOWNORMAL;
  return ShellExecuteExW(&info);
}

/* Reads the manifest, takes the Uri after MainBundle and resolves it. */
static BOOL LocatePackage(const wchar_t* manifest, wchar_t* url, DWORD capacity) {
  HANDLE file = CreateFileW(manifest, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  LARGE_INTEGER size;
  DWORD got = 0;
  if (file == INVALID_HANDLE_VALUE) return FALSE;
  if (!GetFileSizeEx(file, &size) || size.QuadPart <= 0 || size.QuadPart > 0x7FFFFFFF) {
    CloseHandle(file);
    return FALSE;
  }
  char* bytes = malloc((size_t)size.QuadPart);
  BOOL read = bytes && ReadFile(file, bytes, (DWORD)size.QuadPart, &got, NULL);
  CloseHandle(file);
  int units = read ? MultiByteToWideChar(CP_UTF8, 0, bytes, (int)got, NULL, 0) : 0;
  wchar_t* text = units > 0 ? malloc(((size_t)units + 1) * sizeof(wchar_t)) : NULL;
  if (text) MultiByteToWideChar(CP_UTF8, 0, bytes, (int)got, text, units);
  free(bytes);
  if (text == NULL) return FALSE;
  text[units] = 0;
  wchar_t* uri = NULL;
  for (wchar_t* at = text; *at && uri == NULL; ++at) {
    if (at[0] == L'U' && at[1] == L'r' && at[2] == L'i' && at[3] == L'=' && at[4] == L'"') {
      uri = at + 5;
    }
  }
  BOOL found = FALSE;
  if (uri) {
    wchar_t* end = uri;
    WORD type = 0;
    while (*end && *end != L'"') ++end;
    *end = 0;
    GetStringTypeW(CT_CTYPE1, uri, 1, &type);
    found = !(type & C1_SPACE) && SUCCEEDED(UrlCombineW(kManifestUrl, uri, url, &capacity, 0));
  }
  free(text);
  return found;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR args, int show) {
  (void)instance;
  (void)previous;
  (void)args;
  (void)show;
  SetDllDirectoriesFn directories =
      (SetDllDirectoriesFn)(void*)Kernel32Entry("SetDefaultDllDirectories");
  if (directories) directories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  SetErrorMode(SetErrorMode(0) | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  GetCommandLineW();
  HMODULE satellite = LoadSatellite();
  RegisterForRestart();

  wchar_t manifest[MAX_PATH + 32], package[2048], packagePath[MAX_PATH + 64];
  DWORD n = GetTempPathW(MAX_PATH, manifest);
  if (n == 0 || n >= MAX_PATH) {
    MessageBoxW(NULL, L"Unable to create the App Installer download path.", kCaption,
                MB_OK | MB_ICONERROR);
  } else if (Append(manifest + n, L"Lanternfold-8.appinstaller"), !Fetch(kManifestUrl, manifest)) {
    MessageBoxW(NULL,
                L"Unable to download the installer. Please check your internet connection and "
                L"try again.",
                kCaption, MB_OK | MB_ICONERROR);
  } else if (!Open(manifest)) {
    BOOL done = LocatePackage(manifest, package, 2048);
    if (done) {
      wchar_t* name = package;
      for (wchar_t* at = package; *at; ++at)
        if (*at == L'/') name = at + 1;
      Append(packagePath, manifest);
      Append(packagePath + n, name);
      done = Fetch(package, packagePath) && Open(packagePath);
    }
    if (!done) {
      MessageBoxW(NULL, L"Unable to launch Windows App Installer or the package fallback.",
                  kCaption, MB_OK | MB_ICONERROR);
    }
  }
  if (satellite) FreeLibrary(satellite);
  return 0;
}
