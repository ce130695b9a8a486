// The few Windows services the bootstrap needs, one thin function each.
//
// Every function passes its arguments through and reports the service's own
// result; buffers, capacities, limits, decoding rules and retries are decided
// by the caller in bootstrap/. platform-win32.cpp makes the real calls; the
// native tests link a recording fake in their place.
//
// Names are chosen so that none collides with a macro from <windows.h>.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// HRESULT-shaped result: negative is failure, anything else success.
using Result = std::int32_t;

[[nodiscard]] constexpr bool Succeeded(Result result) { return result >= 0; }

// GetTempPathW into `buffer` of `capacity` code units. Returns 0 on failure,
// the path's length (excluding the NUL) when it fit, or the capacity needed
// (including the NUL) when it did not, in which case `buffer` holds nothing
// the caller may use.
[[nodiscard]] std::uint32_t TemporaryPath(char16_t* buffer, std::uint32_t capacity);

// URLDownloadToFileW(no caller, url, path, 0, observer). Blocks until the
// fetch has ended. Besides the service's own failures, an attempt fails when
// the server answered with an HTTP error, when the body on disk is not as long
// as what arrived or what was announced, when a fetch asked for over https
// ended on another scheme, when the file at `path` was not written after all,
// or when no byte arrived for `stallTimeoutMs` milliseconds, counted from the
// request on. A download that keeps moving has no time limit. The observer
// asks for a fresh copy that is not kept in the web cache.
[[nodiscard]] Result DownloadUrlToFile(const std::u16string& url, const std::u16string& path,
                                       std::uint32_t stallTimeoutMs);

// ShellExecuteExW with a record that carries only `verb`, `path` and `show`;
// no mask, no window, no parameters, no directory. True when the shell
// accepted the file.
[[nodiscard]] bool ShellOpen(const char16_t* verb, const std::u16string& path, int show);

// UrlCombineW(base, relative, buffer, &capacity, flags). The count the
// service writes back is not reported.
[[nodiscard]] Result CombineUrl(const char16_t* base, const char16_t* relative, char16_t* buffer,
                                std::uint32_t capacity, std::uint32_t flags);

// MultiByteToWideChar(CP_UTF8, 0, bytes, count, output, outputCapacity).
// With no output and a capacity of 0 it returns the code units needed.
// Malformed input becomes U+FFFD rather than a failure.
[[nodiscard]] int DecodeUtf8(const char* bytes, int count, char16_t* output, int outputCapacity);

// GetStringTypeW(CT_CTYPE1) for one code unit, tested for C1_SPACE.
[[nodiscard]] bool IsSpaceCharacter(char16_t c);

// MessageBoxW(no owner, text, caption, style). Blocks until dismissed.
void ShowMessageBox(const char16_t* text, const char16_t* caption, std::uint32_t style);

// Sleep(milliseconds).
void Pause(std::uint32_t milliseconds);

// One existing file opened for reading, with other openers allowed to read
// and write it meanwhile (the application framework's modeRead |
// shareDenyNone). Paths of 260 code units or more are refused, as the
// framework's file class refuses them. Closed when the object goes away.
// Errors are reported by result, never by exception.
class ReadOnlyFile {
 public:
  ReadOnlyFile() = default;
  ~ReadOnlyFile();
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

  [[nodiscard]] bool Open(const std::u16string& path);
  // The file's size in bytes.
  [[nodiscard]] bool Length(std::uint64_t* length);
  // One read request for `count` bytes; `*bytesRead` may come back smaller.
  [[nodiscard]] bool Read(void* buffer, std::uint32_t count, std::uint32_t* bytesRead);

 private:
  void* handle_ = nullptr;
};

}  // namespace platform
