// The real Windows calls behind platform.h.
// <windows.h> must come first: the other headers rely on its macros.
#include <windows.h>

#include <shellapi.h>
#include <shlwapi.h>
#include <urlmon.h>

#include "platform/common-win32.h"
#include "platform/platform.h"

namespace platform {
namespace {

using win32::Wide;

// The application framework's file class refuses paths that don't fit
// MAX_PATH with their terminating NUL.
constexpr std::size_t kFilePathLimit = MAX_PATH;

}  // namespace

std::uint32_t TemporaryPath(char16_t* buffer, std::uint32_t capacity) {
  return GetTempPathW(capacity, Wide(buffer));
}

namespace {

// Watches one download without steering it. The download service reports an
// HTTP error page, or a body cut short of its declared length, as a finished
// download; this sees the response status and the bytes that arrived, so that
// such a fetch counts as the failed attempt it is. It also asks for a fresh
// copy that is not written to the web cache: every run fetches anew, and a
// cached manifest must never stand in for the current one.
class DownloadObserver final : public IBindStatusCallback, public IHttpNegotiate {
 public:
  [[nodiscard]] bool ServerFailed() const {
    return status_ >= 400 || (expected_ != 0 && received_ < expected_);
  }
  // The bytes that arrived, once the service has said the data is complete.
  [[nodiscard]] bool Received(ULONG* bytes) const {
    *bytes = received_;
    return ended_;
  }

  // Lives on the caller's stack for one synchronous download, so the count
  // only has to balance, never to free.
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, __uuidof(IUnknown)) || IsEqualIID(riid, __uuidof(IBindStatusCallback))) {
      *object = static_cast<IBindStatusCallback*>(this);
    } else if (IsEqualIID(riid, __uuidof(IHttpNegotiate))) {
      *object = static_cast<IHttpNegotiate*>(this);
    } else {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
  STDMETHODIMP_(ULONG) Release() override { return --references_; }

  STDMETHODIMP OnStartBinding(DWORD, IBinding*) override { return S_OK; }
  STDMETHODIMP GetPriority(LONG*) override { return E_NOTIMPL; }
  STDMETHODIMP OnLowResource(DWORD) override { return S_OK; }
  STDMETHODIMP OnProgress(ULONG progress, ULONG progressMax, ULONG statusCode, LPCWSTR) override {
    switch (statusCode) {
      case BINDSTATUS_BEGINDOWNLOADDATA:
      case BINDSTATUS_DOWNLOADINGDATA:
      case BINDSTATUS_ENDDOWNLOADDATA:
        received_ = progress;
        expected_ = progressMax;
        ended_ = ended_ || statusCode == BINDSTATUS_ENDDOWNLOADDATA;
        break;
      // A server that redirects without end would hold the installer without
      // end; no honest chain of redirects is this long. Not every download
      // service passes redirects on, but each hop sends a request.
      case BINDSTATUS_REDIRECTING:
        if (++redirects_ > kMaxRedirects) return E_ABORT;
        break;
      case BINDSTATUS_SENDINGREQUEST:
        if (++requests_ > kMaxRedirects + 1) return E_ABORT;
        break;
      default:
        break;
    }
    return S_OK;
  }
  STDMETHODIMP OnStopBinding(HRESULT, LPCWSTR) override { return S_OK; }
  STDMETHODIMP GetBindInfo(DWORD* flags, BINDINFO*) override {
    if (flags != nullptr) *flags |= BINDF_GETNEWESTVERSION | BINDF_NOWRITECACHE;
    return S_OK;
  }
  STDMETHODIMP OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) override { return S_OK; }
  STDMETHODIMP OnObjectAvailable(REFIID, IUnknown*) override { return S_OK; }

  STDMETHODIMP BeginningTransaction(LPCWSTR, LPCWSTR, DWORD, LPWSTR* additionalHeaders) override {
    if (additionalHeaders != nullptr) *additionalHeaders = nullptr;
    return S_OK;
  }
  // Called for the response that ends the exchange, after any redirects.
  STDMETHODIMP OnResponse(DWORD status, LPCWSTR, LPCWSTR, LPWSTR* additionalHeaders) override {
    status_ = status;
    if (additionalHeaders != nullptr) *additionalHeaders = nullptr;
    return S_OK;
  }

 private:
  static constexpr int kMaxRedirects = 20;

  ULONG references_ = 0;
  DWORD status_ = 0;
  ULONG received_ = 0;
  ULONG expected_ = 0;
  bool ended_ = false;
  int redirects_ = 0;
  int requests_ = 0;
};

// What can be seen of a file without opening its contents: enough to tell
// whether it was written between two looks.
struct FileState {
  bool exists = false;
  std::uint64_t size = 0;
  LONGLONG changeTime = 0;
  LONGLONG lastWriteTime = 0;

  [[nodiscard]] bool SameAs(const FileState& other) const {
    return exists == other.exists && size == other.size && changeTime == other.changeTime &&
           lastWriteTime == other.lastWriteTime;
  }
};

FileState Inspect(const std::u16string& path) {
  FileState state;
  // Asking for attributes only is not held back by another opener's share mode.
  HANDLE file = CreateFileW(Wide(path), FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return state;
  FILE_BASIC_INFO basic{};
  LARGE_INTEGER size{};
  if (GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof(basic)) &&
      (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && GetFileSizeEx(file, &size)) {
    state.exists = true;
    state.size = static_cast<std::uint64_t>(size.QuadPart);
    state.changeTime = basic.ChangeTime.QuadPart;
    state.lastWriteTime = basic.LastWriteTime.QuadPart;
  }
  CloseHandle(file);
  return state;
}

// The service can report success for a file it did not manage to write: when
// the target is held open by another program, read-only, or in a folder that
// is missing. The earlier file would then be handed on as if it were new.
bool TargetWasWritten(const FileState& before, const std::u16string& path,
                      const DownloadObserver& observer) {
  const FileState after = Inspect(path);
  if (!after.exists) return false;
  ULONG received = 0;
  if (observer.Received(&received) && after.size != received) return false;
  return !(before.exists && after.SameAs(before));
}

using URLDownloadToFileWFn = HRESULT(WINAPI*)(LPUNKNOWN, LPCWSTR, LPCWSTR, DWORD,
                                              LPBINDSTATUSCALLBACK);

// urlmon.dll is not one of the system's known DLLs, so a static import would
// be looked for first beside the executable, which users run from their
// Downloads folder. It is loaded from the system folder only, once.
HMODULE LoadFromSystemFolder(const wchar_t* name) {
  HMODULE module = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module != nullptr) return module;
  // Systems without the search flags (Windows 7 before the update that added
  // them) refuse the call; the full path in the system folder is as safe, and
  // makes its own dependencies be looked for there first.
  wchar_t path[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryW(path, MAX_PATH);
  const std::size_t nameLength = std::char_traits<wchar_t>::length(name);
  if (length == 0 || length + 1 + nameLength >= MAX_PATH) return nullptr;
  path[length] = L'\\';
  std::char_traits<wchar_t>::copy(path + length + 1, name, nameLength + 1);
  return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

URLDownloadToFileWFn DownloadEntry() {
  static const auto entry = []() -> URLDownloadToFileWFn {
    HMODULE urlmon = LoadFromSystemFolder(L"urlmon.dll");
    if (urlmon == nullptr) return nullptr;
    return reinterpret_cast<URLDownloadToFileWFn>(
        reinterpret_cast<void*>(GetProcAddress(urlmon, "URLDownloadToFileW")));
  }();
  return entry;
}

}  // namespace

Result DownloadUrlToFile(const std::u16string& url, const std::u16string& path) {
  const URLDownloadToFileWFn download = DownloadEntry();
  if (download == nullptr) return INET_E_DOWNLOAD_FAILURE;
  const FileState before = Inspect(path);
  DownloadObserver observer;
  const HRESULT result = download(nullptr, Wide(url), Wide(path), 0, &observer);
  if (FAILED(result)) return result;
  if (observer.ServerFailed() || !TargetWasWritten(before, path, observer)) {
    return INET_E_DOWNLOAD_FAILURE;
  }
  return result;
}

bool ShellOpen(const char16_t* verb, const std::u16string& path, int show) {
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof(info);
  info.fMask = 0;
  info.hwnd = nullptr;
  info.lpVerb = Wide(verb);
  info.lpFile = Wide(path);
  info.lpParameters = nullptr;
  info.lpDirectory = nullptr;
  info.nShow = show;
  return ShellExecuteExW(&info) != FALSE;
}

Result CombineUrl(const char16_t* base, const char16_t* relative, char16_t* buffer,
                  std::uint32_t capacity, std::uint32_t flags) {
  DWORD count = capacity;
  return UrlCombineW(Wide(base), Wide(relative), Wide(buffer), &count, flags);
}

int DecodeUtf8(const char* bytes, int count, char16_t* output, int outputCapacity) {
  return MultiByteToWideChar(CP_UTF8, 0, bytes, count, Wide(output), outputCapacity);
}

bool IsSpaceCharacter(char16_t c) {
  const wchar_t text[1] = {static_cast<wchar_t>(c)};
  WORD type = 0;
  return GetStringTypeW(CT_CTYPE1, text, 1, &type) && (type & C1_SPACE) != 0;
}

void ShowMessageBox(const char16_t* text, const char16_t* caption, std::uint32_t style) {
  MessageBoxW(nullptr, Wide(text), Wide(caption), style);
}

void Pause(std::uint32_t milliseconds) { Sleep(milliseconds); }

ReadOnlyFile::~ReadOnlyFile() {
  if (handle_ != nullptr) CloseHandle(handle_);
}

bool ReadOnlyFile::Open(const std::u16string& path) {
  if (handle_ != nullptr) return false;
  if (std::char_traits<char16_t>::length(path.c_str()) >= kFilePathLimit) return false;
  HANDLE handle = CreateFileW(Wide(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  handle_ = handle;
  return true;
}

bool ReadOnlyFile::Length(std::uint64_t* length) {
  LARGE_INTEGER size{};
  if (handle_ == nullptr || !GetFileSizeEx(handle_, &size) || size.QuadPart < 0) return false;
  *length = static_cast<std::uint64_t>(size.QuadPart);
  return true;
}

bool ReadOnlyFile::Read(void* buffer, std::uint32_t count, std::uint32_t* bytesRead) {
  DWORD read = 0;
  if (handle_ == nullptr || !ReadFile(handle_, buffer, count, &read, nullptr)) return false;
  *bytesRead = read;
  return true;
}

}  // namespace platform
