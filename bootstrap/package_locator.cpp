#include "bootstrap/package_locator.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "bootstrap/constants.h"
#include "bootstrap/text.h"
#include "platform/platform.h"

namespace bootstrap {
namespace {

constexpr std::u16string_view kUriName = u"Uri";
constexpr std::u16string_view kElementNames[] = {u"MainBundle", u"MainPackage"};

// The span's terminating NUL sits one past its end; reading it stops every
// skip there.
char16_t At(std::u16string_view span, std::size_t i) { return i < span.size() ? span[i] : u'\0'; }

bool IsQuote(char16_t c) { return c == u'\'' || c == u'"'; }

std::size_t SkipWhitespace(std::u16string_view span, std::size_t i) {
  while (IsUriWhitespace(At(span, i))) ++i;
  return i;
}

void DecodeUtf16Le(const unsigned char* bytes, std::size_t count, std::u16string& text) {
  std::u16string decoded(count / 2, u'\0');
  for (std::size_t i = 0; i < decoded.size(); ++i) {
    decoded[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
  text = std::move(decoded);
}

bool DecodeUtf8(const unsigned char* bytes, std::size_t count, std::u16string& text) {
  if (count == 0) return false;
  const char* input = reinterpret_cast<const char*>(bytes);
  const int inputCount = static_cast<int>(count);  // at most 2^31 - 1
  const int units = platform::DecodeUtf8(input, inputCount, nullptr, 0);
  if (units <= 0) return false;
  std::u16string decoded(static_cast<std::size_t>(units), u'\0');
  if (platform::DecodeUtf8(input, inputCount, decoded.data(), units) != units) return false;
  text = std::move(decoded);
  return true;
}

}  // namespace

bool IsUriWhitespace(char16_t c) {
  if ((c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0) return true;
  if (c < 0x100 || c == 0xFFFF) return false;
  return platform::IsSpaceCharacter(c);
}

bool ReadTextFile(const std::u16string& path, std::u16string& text) {
  platform::ReadOnlyFile file;
  if (!file.Open(path)) return false;

  std::uint64_t length = 0;
  if (!file.Length(&length)) return false;
  if (length == 0 || length > kMaxManifestBytes) return false;

  // One request for the whole file into a buffer of exactly its size; a
  // short read is a failed read, there is no second request.
  const auto count = static_cast<std::uint32_t>(length);
  std::unique_ptr<unsigned char[]> bytes(new unsigned char[count]);
  std::uint32_t received = 0;
  if (!file.Read(bytes.get(), count, &received) || received != count) return false;

  const unsigned char* data = bytes.get();
  std::size_t n = count;
  if (n >= 2 && data[0] == 0xFF && data[1] == 0xFE) {
    DecodeUtf16Le(data + 2, n - 2, text);  // an odd last byte is dropped
    return true;
  }
  if (n >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) {
    data += 3;
    n -= 3;
  }
  return DecodeUtf8(data, n, text);
}

bool FindUriAttribute(std::u16string_view span, std::u16string& value) {
  span = UpToFirstNul(span);
  for (std::size_t p = span.find(kUriName); p != std::u16string_view::npos;
       p = span.find(kUriName, p + kUriName.size())) {
    std::size_t i = SkipWhitespace(span, p + kUriName.size());
    if (At(span, i) != u'=') continue;
    i = SkipWhitespace(span, i + 1);
    const char16_t quote = At(span, i);
    if (!IsQuote(quote)) continue;
    const std::size_t start = i + 1;
    if (start >= span.size()) continue;
    const std::size_t close = span.find(quote, start);
    if (close == std::u16string_view::npos || close == start) continue;
    value.assign(span.substr(start, close - start));
    return true;
  }
  return false;
}

bool ResolvePackageUrl(const std::u16string& manifestPath, std::u16string& packageUrl) {
  std::u16string text;
  if (!ReadTextFile(manifestPath, text)) return false;

  const std::u16string_view visible = UpToFirstNul(text);
  std::u16string uri;
  bool found = false;
  for (const std::u16string_view name : kElementNames) {
    const std::size_t start = visible.find(name);
    if (start == std::u16string_view::npos) continue;
    const std::size_t end = visible.find(u'>', start);
    if (end == std::u16string_view::npos) continue;
    if (FindUriAttribute(visible.substr(start, end - start + 1), uri)) {
      found = true;
      break;
    }
  }
  if (!found) return false;
  // The manifest text can be large; it is of no further use.
  std::u16string().swap(text);

  std::vector<char16_t> combined(kCombinedUrlCapacity, u'\0');
  if (!platform::Succeeded(platform::CombineUrl(kManifestUrl, uri.c_str(), combined.data(),
                                                kCombinedUrlCapacity, 0))) {
    return false;
  }
  packageUrl.assign(UpToFirstNul({combined.data(), combined.size()}));
  return true;
}

}  // namespace bootstrap
