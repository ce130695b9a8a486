// The real Windows calls behind platform.h.
// <windows.h> must come first: the other headers rely on its macros.
#include <windows.h>

#include <shellapi.h>
#include <shlwapi.h>
#include <urlmon.h>

#include "platform/platform.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide text is UTF-16");

namespace platform {
namespace {

const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
const wchar_t* Wide(const std::u16string& text) { return Wide(text.c_str()); }
wchar_t* Wide(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }

// The application framework's file class refuses paths that don't fit
// MAX_PATH with their terminating NUL.
constexpr std::size_t kFilePathLimit = MAX_PATH;

}  // namespace

std::uint32_t TemporaryPath(char16_t* buffer, std::uint32_t capacity) {
  return GetTempPathW(capacity, Wide(buffer));
}

Result DownloadUrlToFile(const std::u16string& url, const std::u16string& path) {
  return URLDownloadToFileW(nullptr, Wide(url), Wide(path), 0, nullptr);
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
