// The real Windows calls behind platform.h.
// <windows.h> must come first: the other headers rely on its macros.
#include <windows.h>

#include <shellapi.h>
#include <shlwapi.h>
#include <urlmon.h>
#include <wininet.h>

#include <algorithm>

#include "platform/common-win32.h"
#include "platform/download_verdict.h"
#include "platform/platform.h"

namespace platform {
namespace {

using win32::Utf16;
using win32::Wide;

// The application framework's file class refuses paths that don't fit
// MAX_PATH with their terminating NUL.
constexpr std::size_t kFilePathLimit = MAX_PATH;

}  // namespace

std::uint32_t TemporaryPath(char16_t* buffer, std::uint32_t capacity) {
  return GetTempPathW(capacity, Wide(buffer));
}

namespace {

// Owns one handle of a kind that `Close` lets go.
template <typename T, BOOL(WINAPI* Close)(T)>
class Unique {
 public:
  Unique() = default;
  ~Unique() { reset(nullptr); }
  Unique(const Unique&) = delete;
  Unique& operator=(const Unique&) = delete;
  [[nodiscard]] T get() const { return value_; }
  void reset(T value) {
    if (value_ != nullptr) Close(value_);
    value_ = value;
  }

 private:
  T value_ = nullptr;
};

using UniqueHandle = Unique<HANDLE, CloseHandle>;
using UniqueWindow = Unique<HWND, DestroyWindow>;

// The size of the file at `path`; 0 when there is none.
std::uint64_t SizeOf(const std::u16string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (path.empty() || !GetFileAttributesExW(Wide(path), GetFileExInfoStandard, &data)) return 0;
  return (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
}

// A string option of the WinINet request behind a binding. The service may
// answer in UTF-16 or in the ANSI code page, so the buffer is read as whichever
// it holds; every string asked for here starts with an ASCII character.
std::u16string QueryTextOption(IBinding* binding, DWORD option) {
  IWinInetInfo* info = nullptr;
  if (binding == nullptr ||
      FAILED(binding->QueryInterface(__uuidof(IWinInetInfo), reinterpret_cast<void**>(&info)))) {
    return {};
  }
  wchar_t buffer[2048] = {};
  // One code unit is kept back so that the answer always ends in a NUL.
  DWORD size = sizeof(buffer) - sizeof(wchar_t);
  const HRESULT result = info->QueryOption(option, buffer, &size);
  info->Release();
  if (result != S_OK) return {};
  const auto* bytes = reinterpret_cast<const char*>(buffer);
  if (bytes[0] != 0 && bytes[1] == 0) return Utf16(buffer);
  wchar_t wide[2048] = {};
  if (MultiByteToWideChar(CP_ACP, 0, bytes, -1, wide, 2047) == 0) return {};
  return Utf16(wide);
}

class DownloadObserver;

// Runs the stall check on the download's own thread while the service holds
// it. The service waits for its transfer in a loop that dispatches only its
// own window's messages, so a timer of ours never fires there; a message sent
// from another thread is delivered by that same loop (under Wine within the
// 5 s it sleeps between looks). The watch thread does nothing but send that
// message at an interval: it never touches the binding, whose methods may only
// be called on the thread that received it.
class StallWatch {
 public:
  StallWatch() = default;
  // The thread is joined before its handles close and the window goes (the
  // members go in reverse order), so no message can reach an observer that is
  // gone.
  ~StallWatch() {
    if (thread_.get() == nullptr) return;
    SetEvent(stop_.get());
    WaitForSingleObject(thread_.get(), INFINITE);
  }
  StallWatch(const StallWatch&) = delete;
  StallWatch& operator=(const StallWatch&) = delete;

  // Once per download, on its thread. Without a watch the download still
  // runs, only without the stall limit.
  void Start(DownloadObserver& observer, std::uint32_t stallTimeoutMs) {
    if (window_.get() != nullptr) return;
    interval_ = std::clamp<std::uint32_t>(stallTimeoutMs / 8, 50, 1000);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &StallWatch::WindowProcedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kClassName;
    // A class left by an earlier attempt is as good as a new one.
    if (RegisterClassExW(&windowClass) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return;
    // A message-only window: never shown, never enumerated, there only to
    // receive the watch thread's message.
    window_.reset(CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  windowClass.hInstance, nullptr));
    if (window_.get() == nullptr) return;
    SetWindowLongPtrW(window_.get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&observer));
    stop_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (stop_.get() == nullptr) return;
    thread_.reset(CreateThread(nullptr, 0, &StallWatch::Tick, this, 0, nullptr));
  }

 private:
  static constexpr wchar_t kClassName[] = L"Lanternfold.StallWatch";
  static constexpr UINT kCheckMessage = WM_APP;

  static DWORD WINAPI Tick(void* parameter) {
    const auto* watch = static_cast<const StallWatch*>(parameter);
    while (WaitForSingleObject(watch->stop_.get(), watch->interval_) == WAIT_TIMEOUT) {
      // Queued for the download's thread; never waits for it.
      SendNotifyMessageW(watch->window_.get(), kCheckMessage, 0, 0);
    }
    return 0;
  }

  static LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  DWORD interval_ = 1000;
  UniqueWindow window_;
  UniqueHandle stop_;
  UniqueHandle thread_;
};

// Watches one download, and ends it only when it cannot succeed: a failed
// response, a redirect off https, or a transfer that has stalled. The service
// reports an HTTP error page, a body cut short of its declared length or a
// plain-http copy as a finished download; DownloadReport gathers what the
// callbacks said so that AttemptSucceeded can tell. It also asks for a fresh
// copy that is not written to the web cache: every run fetches anew, and a
// cached manifest must never stand in for the current one.
//
// Every method runs on the thread that called the service, the binding's own,
// the stall check included (StallWatch delivers it there).
class DownloadObserver final : public IBindStatusCallback, public IHttpNegotiate {
 public:
  DownloadObserver(const std::u16string& url, const std::u16string& path,
                   std::uint32_t stallTimeoutMs)
      : url_(url),
        path_(path),
        stallTimeoutMs_(stallTimeoutMs),
        targetSize_(SizeOf(path)),
        lastActivity_(GetTickCount64()) {}
  ~DownloadObserver() { ReleaseBinding(); }
  DownloadObserver(const DownloadObserver&) = delete;
  DownloadObserver& operator=(const DownloadObserver&) = delete;

  [[nodiscard]] const DownloadReport& report() const { return report_; }

  // The transfer's clock. Bytes show in the service's callbacks, but under
  // Wine not before 2 KiB of the body are in, and not at all while a fast
  // download keeps the service busy; the file the service fills shows them as
  // they arrive. So a growing cache file or target counts as much as a call.
  void CheckForStall() {
    if (binding_ == nullptr || report_.ended()) return;
    const std::uint64_t now = GetTickCount64();
    const std::uint64_t backing = SizeOf(backingFile_);
    const std::uint64_t target = SizeOf(path_);
    if (backing != backingSize_ || target != targetSize_) {
      backingSize_ = backing;
      targetSize_ = target;
      lastActivity_ = now;
    }
    if (now - lastActivity_ >= stallTimeoutMs_) End();
  }

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
  // Lives on the caller's stack for one synchronous download, so the count
  // only has to balance, never to free.
  STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
  STDMETHODIMP_(ULONG) Release() override { return --references_; }

  // The watch starts here rather than before the call: the service has made
  // its own window by now, so under Wine this is not the one to pay for the
  // process's first window, and it is still before any byte is asked for.
  STDMETHODIMP OnStartBinding(DWORD, IBinding* binding) override {
    ReleaseBinding();
    binding_ = binding;
    if (binding_ != nullptr) binding_->AddRef();
    watch_.Start(*this, stallTimeoutMs_);
    return S_OK;
  }
  STDMETHODIMP GetPriority(LONG*) override { return E_NOTIMPL; }
  STDMETHODIMP OnLowResource(DWORD) override { return S_OK; }
  STDMETHODIMP OnProgress(ULONG progress, ULONG progressMax, ULONG statusCode,
                          LPCWSTR text) override {
    lastActivity_ = GetTickCount64();
    switch (statusCode) {
      case BINDSTATUS_BEGINDOWNLOADDATA:
      case BINDSTATUS_DOWNLOADINGDATA:
      case BINDSTATUS_ENDDOWNLOADDATA:
        report_.OnData(progress, progressMax, statusCode == BINDSTATUS_ENDDOWNLOADDATA);
        break;
      case BINDSTATUS_CACHEFILENAMEAVAILABLE:
        if (backingFile_.empty() && text != nullptr) backingFile_ = Utf16(text);
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
  STDMETHODIMP OnStopBinding(HRESULT, LPCWSTR) override {
    ReleaseBinding();
    return S_OK;
  }
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
  // Called for the response that ends the exchange, after any redirects. The
  // service follows a redirect from https to plain http without a word, so
  // the address the body comes from is asked of the request itself.
  STDMETHODIMP OnResponse(DWORD status, LPCWSTR headers, LPCWSTR,
                          LPWSTR* additionalHeaders) override {
    lastActivity_ = GetTickCount64();
    if (additionalHeaders != nullptr) *additionalHeaders = nullptr;
    report_.OnResponse(status, headers == nullptr ? u"" : Utf16(headers));
    report_.OnFinalAddress(url_, QueryTextOption(binding_, INTERNET_OPTION_URL));
    // The file the service fills as the body arrives, named before the first
    // byte of it; the service names it later on its own, if at all.
    backingFile_ = QueryTextOption(binding_, INTERNET_OPTION_DATAFILE_NAME);
    if (report_.Doomed()) End();
    return S_OK;
  }

 private:
  static constexpr int kMaxRedirects = 20;

  // Ends the transfer from within one of its callbacks or the stall check.
  // The service then calls OnStopBinding, which lets the binding go; the copy
  // keeps it alive until Abort has returned.
  void End() {
    IBinding* binding = binding_;
    if (binding == nullptr) return;
    binding->AddRef();
    report_.OnAborted();
    binding->Abort();
    binding->Release();
  }

  void ReleaseBinding() {
    if (binding_ != nullptr) binding_->Release();
    binding_ = nullptr;
  }

  ULONG references_ = 0;
  const std::u16string& url_;
  const std::u16string& path_;
  const std::uint32_t stallTimeoutMs_;
  DownloadReport report_;
  IBinding* binding_ = nullptr;
  std::u16string backingFile_;
  std::uint64_t backingSize_ = 0;
  std::uint64_t targetSize_ = 0;
  std::uint64_t lastActivity_;
  int redirects_ = 0;
  int requests_ = 0;
  // Last, so that it goes first: its thread is joined before anything it
  // reaches goes.
  StallWatch watch_;
};

LRESULT CALLBACK StallWatch::WindowProcedure(HWND window, UINT message, WPARAM wParam,
                                             LPARAM lParam) {
  if (message == kCheckMessage) {
    if (auto* observer =
            reinterpret_cast<DownloadObserver*>(GetWindowLongPtrW(window, GWLP_USERDATA))) {
      observer->CheckForStall();
    }
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

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

using URLDownloadToFileWFn = HRESULT(WINAPI*)(LPUNKNOWN, LPCWSTR, LPCWSTR, DWORD,
                                              LPBINDSTATUSCALLBACK);

// urlmon.dll is not one of the system's known DLLs, so a static import would
// be looked for first beside the executable, which users run from their
// Downloads folder. It is loaded from the system folder only, once.
URLDownloadToFileWFn DownloadEntry() {
  static const auto entry = []() -> URLDownloadToFileWFn {
    HMODULE urlmon = win32::LoadFromSystemFolder(L"urlmon.dll");
    if (urlmon == nullptr) return nullptr;
    return reinterpret_cast<URLDownloadToFileWFn>(
        reinterpret_cast<void*>(GetProcAddress(urlmon, "URLDownloadToFileW")));
  }();
  return entry;
}

}  // namespace

Result DownloadUrlToFile(const std::u16string& url, const std::u16string& path,
                         std::uint32_t stallTimeoutMs) {
  const URLDownloadToFileWFn download = DownloadEntry();
  if (download == nullptr) return INET_E_DOWNLOAD_FAILURE;
  const FileState before = Inspect(path);
  DownloadObserver observer(url, path, stallTimeoutMs);
  const HRESULT result = download(nullptr, Wide(url), Wide(path), 0, &observer);
  if (FAILED(result)) return result;
  if (!AttemptSucceeded(observer.report(), before, Inspect(path))) return INET_E_DOWNLOAD_FAILURE;
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
