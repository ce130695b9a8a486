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
  switch (EncodingOf(data, count)) {
    case TextEncoding::kUtf16LeWithMark:
      DecodeUtf16Le(data + 2, count - 2, text);  // an odd last byte is dropped
      return true;
    case TextEncoding::kUtf8WithMark:
      return DecodeUtf8(data + 3, count - 3, text);
    case TextEncoding::kUtf8:
      break;
  }
  return DecodeUtf8(data, count, text);
}

TextEncoding EncodingOf(const unsigned char* bytes, std::size_t count) {
  if (count >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) return TextEncoding::kUtf16LeWithMark;
  if (count >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
    return TextEncoding::kUtf8WithMark;
  }
  return TextEncoding::kUtf8;
}

namespace {

// The first value that FindUriAttribute would take, as a position and a
// length within the span.
bool FindUriValue(std::u16string_view span, std::size_t& start, std::size_t& length) {
  span = UpToFirstNul(span);
  for (std::size_t p = span.find(kUriName); p != std::u16string_view::npos;
       p = span.find(kUriName, p + kUriName.size())) {
    std::size_t i = SkipWhitespace(span, p + kUriName.size());
    if (At(span, i) != u'=') continue;
    i = SkipWhitespace(span, i + 1);
    const char16_t quote = At(span, i);
    if (!IsQuote(quote)) continue;
    const std::size_t first = i + 1;
    if (first >= span.size()) continue;
    const std::size_t close = span.find(quote, first);
    if (close == std::u16string_view::npos || close == first) continue;
    start = first;
    length = close - first;
    return true;
  }
  return false;
}

}  // namespace

bool FindUriAttribute(std::u16string_view span, std::u16string& value) {
  std::size_t start = 0;
  std::size_t length = 0;
  if (!FindUriValue(span, start, length)) return false;
  value.assign(span.substr(start, length));
  return true;
}

bool FindMainPackageUri(std::u16string_view text, UriMatch& match) {
  const std::u16string_view visible = UpToFirstNul(text);
  for (const std::u16string_view name : kElementNames) {
    const std::size_t start = visible.find(name);
    if (start == std::u16string_view::npos) continue;
    const std::size_t end = visible.find(u'>', start);
    if (end == std::u16string_view::npos) continue;
    const std::u16string_view span = visible.substr(start, end - start + 1);
    std::size_t valueStart = 0;
    std::size_t valueLength = 0;
    if (!FindUriValue(span, valueStart, valueLength)) continue;
    match.element = name;
    match.elementAt = start;
    match.valueAt = start + valueStart;
    match.value.assign(span.substr(valueStart, valueLength));
    return true;
  }
  return false;
}

bool CombineWithManifestUrl(const std::u16string& uri, std::u16string& url) {
  // A value this long cannot make a URL the buffer holds, and the platform's
  // answer for it is not to be trusted: Wine's UrlCombineW drops a relative
  // part longer than any URL may be and reports success with the base's
  // folder instead.
  if (uri.size() >= kCombinedUrlCapacity) return false;
  std::vector<char16_t> combined(kCombinedUrlCapacity, u'\0');
  if (!platform::Succeeded(platform::CombineUrl(kManifestUrl, uri.c_str(), combined.data(),
                                                kCombinedUrlCapacity, 0))) {
    return false;
  }
  url.assign(UpToFirstNul({combined.data(), combined.size()}));
  return true;
}

bool ResolvePackageUrl(const std::u16string& manifestPath, std::u16string& packageUrl) {
  std::u16string text;
  if (!ReadTextFile(manifestPath, text)) return false;
  UriMatch match;
  if (!FindMainPackageUri(text, match)) return false;
  // The manifest text can be large; it is of no further use.
  std::u16string().swap(text);
  return CombineWithManifestUrl(match.value, packageUrl);
}

}  // namespace bootstrap
