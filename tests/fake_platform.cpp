#include "tests/fake_platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace fake {
namespace {

void Record(std::string call) { Fake().calls.push_back(std::move(call)); }

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return text;
}

// Just enough of URL resolution for the locator's tests; the real rules are
// the platform's and are checked against it.
std::u16string Resolve(std::u16string_view base, std::u16string_view relative) {
  const std::size_t colon = relative.find(u':');
  if (colon != std::u16string_view::npos &&
      relative.substr(0, colon).find_first_of(u"/?#") == std::u16string_view::npos) {
    return std::u16string(relative);
  }
  const std::size_t authority = base.find(u"//") + 2;
  if (relative.substr(0, 2) == u"//")
    return std::u16string(base.substr(0, authority - 2)) += relative;
  if (relative.substr(0, 1) == u"/") {
    return std::u16string(base.substr(0, base.find(u'/', authority))) += relative;
  }
  return std::u16string(base.substr(0, base.rfind(u'/') + 1)) += relative;
}

// UTF-8 to UTF-16, with U+FFFD for every byte that does not start a
// well-formed sequence.
std::u16string DecodeUtf8Portably(const unsigned char* s, std::size_t n) {
  std::u16string out;
  std::size_t i = 0;
  while (i < n) {
    const unsigned char b = s[i];
    std::size_t len = 0;
    char32_t cp = 0, min = 0;
    if (b < 0x80) {
      len = 1;
      cp = b;
    } else if ((b & 0xE0) == 0xC0) {
      len = 2;
      cp = b & 0x1F;
      min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      len = 3;
      cp = b & 0x0F;
      min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      len = 4;
      cp = b & 0x07;
      min = 0x10000;
    }
    bool ok = len != 0 && i + len <= n;
    for (std::size_t k = 1; ok && k < len; ++k) {
      ok = (s[i + k] & 0xC0) == 0x80;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    ok = ok && cp >= min && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
    if (!ok) {
      out.push_back(u'\xFFFD');
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += len;
  }
  return out;
}

int Descriptor(void* handle) {
  return static_cast<int>(reinterpret_cast<std::intptr_t>(handle)) - 1;
}

// The handle of a file served from script.fileBytes; no descriptor is ever
// this address.
char gInMemoryFile;
void* const kInMemoryHandle = &gInMemoryFile;

}  // namespace

State& Fake() {
  static State state;
  return state;
}

void Reset() { Fake() = State{}; }

std::vector<std::string> CallsWithout(const std::vector<std::string>& drop) {
  std::vector<std::string> kept;
  for (const std::string& call : Fake().calls) {
    const bool dropped = std::any_of(drop.begin(), drop.end(), [&](const std::string& prefix) {
      return call.rfind(prefix, 0) == 0;
    });
    if (!dropped) kept.push_back(call);
  }
  return kept;
}

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[++i] - 0xDC00);
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

std::u16string FromUtf8(std::string_view text) {
  return DecodeUtf8Portably(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

}  // namespace fake

namespace platform {

using fake::Fake;
using fake::Record;
using fake::ToUtf8;

std::uint32_t TemporaryPath(char16_t* buffer, std::uint32_t capacity) {
  Record("TemporaryPath(" + std::to_string(capacity) + ")");
  const auto& path = Fake().script.tempPath;
  if (!path) return 0;
  const auto needed = static_cast<std::uint32_t>(path->size() + 1);
  if (needed > capacity) {
    // Leave a plausible but truncated path behind, so that a caller who
    // uses the buffer anyway is caught.
    std::copy_n(path->begin(), capacity - 1, buffer);
    return needed;
  }
  std::copy(path->begin(), path->end(), buffer);
  buffer[path->size()] = u'\0';
  return needed - 1;
}

Result DownloadUrlToFile(const std::u16string& url, const std::u16string& path,
                         std::uint32_t stallTimeoutMs) {
  Record("DownloadUrlToFile(" + ToUtf8(url) + ", " + ToUtf8(path) + ", " +
         std::to_string(stallTimeoutMs) + ")");
  auto& script = Fake().script;
  Result result = fake::kOk;
  if (!script.downloads.empty()) {
    result = script.downloads.front();
    script.downloads.pop_front();
  }
  if (Succeeded(result)) {
    if (auto body = script.served.find(url); body != script.served.end()) {
      std::ofstream(ToUtf8(path), std::ios::binary | std::ios::trunc) << body->second;
    }
  }
  return result;
}

bool ShellOpen(const char16_t* verb, const std::u16string& path, int show) {
  Record("ShellOpen(" + ToUtf8(verb) + ", " + ToUtf8(path) + ", " + std::to_string(show) + ")");
  auto& answers = Fake().script.shell;
  if (answers.empty()) return true;
  const bool accepted = answers.front();
  answers.pop_front();
  return accepted;
}

Result CombineUrl(const char16_t* base, const char16_t* relative, char16_t* buffer,
                  std::uint32_t capacity, std::uint32_t flags) {
  Record("CombineUrl(" + ToUtf8(base) + ", " + ToUtf8(relative) + ", " + std::to_string(capacity) +
         ", " + std::to_string(flags) + ")");
  if (Fake().script.combine) return *Fake().script.combine;
  const std::u16string combined = fake::Resolve(base, relative);
  if (combined.size() + 1 > capacity) return fake::kPointer;
  std::copy(combined.begin(), combined.end(), buffer);
  buffer[combined.size()] = u'\0';
  return fake::kOk;
}

int DecodeUtf8(const char* bytes, int count, char16_t* output, int outputCapacity) {
  Record("DecodeUtf8(" + std::to_string(count) + ", " + std::to_string(outputCapacity) + ")");
  if (count <= 0) return 0;
  const std::u16string text = fake::DecodeUtf8Portably(
      reinterpret_cast<const unsigned char*>(bytes), static_cast<std::size_t>(count));
  const int units = static_cast<int>(text.size());
  if (output == nullptr) return units;
  if (outputCapacity < units) return 0;
  std::copy(text.begin(), text.end(), output);
  return units;
}

bool IsSpaceCharacter(char16_t c) {
  Record("IsSpaceCharacter(" + fake::Hex(c) + ")");
  return c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

void ShowMessageBox(const char16_t* text, const char16_t* caption, std::uint32_t style) {
  Record("ShowMessageBox(" + ToUtf8(text) + ", " + ToUtf8(caption) + ", " + fake::Hex(style) + ")");
}

void Pause(std::uint32_t milliseconds) { Record("Pause(" + std::to_string(milliseconds) + ")"); }

ReadOnlyFile::~ReadOnlyFile() {
  if (handle_ == nullptr) return;
  Record("ReadOnlyFile::Close()");
  if (handle_ != fake::kInMemoryHandle) ::close(fake::Descriptor(handle_));
}

bool ReadOnlyFile::Open(const std::u16string& path) {
  Record("ReadOnlyFile::Open(" + ToUtf8(path) + ")");
  if (Fake().script.fileBytes) {
    Fake().fileBytesOffset = 0;
    handle_ = fake::kInMemoryHandle;
    return true;
  }
  const int fd = ::open(ToUtf8(path).c_str(), O_RDONLY);
  if (fd < 0) return false;
  handle_ = reinterpret_cast<void*>(static_cast<std::intptr_t>(fd) + 1);
  return true;
}

bool ReadOnlyFile::Length(std::uint64_t* length) {
  Record("ReadOnlyFile::Length()");
  if (handle_ == fake::kInMemoryHandle) {
    if (Fake().script.failLength) return false;
    *length = Fake().script.fileBytes->size();
    return true;
  }
  struct stat info {};
  if (Fake().script.failLength || ::fstat(fake::Descriptor(handle_), &info) != 0) return false;
  *length = static_cast<std::uint64_t>(info.st_size);
  return true;
}

bool ReadOnlyFile::Read(void* buffer, std::uint32_t count, std::uint32_t* bytesRead) {
  Record("ReadOnlyFile::Read(" + std::to_string(count) + ")");
  if (Fake().script.failRead) return false;
  const std::uint32_t wanted = std::min(count, Fake().script.readLimit.value_or(count));
  if (handle_ == fake::kInMemoryHandle) {
    const std::string& bytes = *Fake().script.fileBytes;
    std::size_t& offset = Fake().fileBytesOffset;
    const std::size_t available = bytes.size() - std::min(offset, bytes.size());
    const auto total = static_cast<std::uint32_t>(std::min<std::size_t>(wanted, available));
    std::memcpy(buffer, bytes.data() + offset, total);
    offset += total;
    *bytesRead = total;
    return true;
  }
  std::uint32_t total = 0;
  while (total < wanted) {
    const ssize_t got =
        ::read(fake::Descriptor(handle_), static_cast<char*>(buffer) + total, wanted - total);
    if (got < 0) return false;
    if (got == 0) break;
    total += static_cast<std::uint32_t>(got);
  }
  *bytesRead = total;
  return true;
}

}  // namespace platform
