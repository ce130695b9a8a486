// Finds the main package's address in a downloaded App Installer manifest.
// The manifest is scanned as text, never parsed as XML: the first
// "MainBundle" (else "MainPackage") up to the next ">", and in it the first
// non-empty quoted Uri value, resolved against the manifest URL.
//
// Every operation replaces its output whole on true and leaves it exactly as
// it was on false.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace bootstrap {

// The locator's whitespace: U+0009..U+000D, U+0020, U+0085, U+00A0, and from
// U+0100 on whatever the platform classes as space, except U+FFFF.
[[nodiscard]] bool IsUriWhitespace(char16_t c);

// How ReadTextFile decodes a file, decided by its first bytes alone: no other
// mark is recognised, and everything else is taken for UTF-8.
enum class TextEncoding { kUtf16LeWithMark, kUtf8WithMark, kUtf8 };
[[nodiscard]] TextEncoding EncodingOf(const unsigned char* bytes, std::size_t count);

// Reads the whole file at `path` and decodes it: UTF-16LE after an FF FE
// mark, otherwise UTF-8 (an EF BB BF mark is dropped). False for a file that
// can't be opened or read, that is empty, holds only the UTF-8 mark, or is
// larger than 2^31 - 1 bytes.
[[nodiscard]] bool ReadTextFile(const std::u16string& path, std::u16string& text);

// Finds the first `Uri` in `span` followed by optional whitespace, "=",
// optional whitespace and a non-empty value in matching quotes, and puts the
// value, exactly as written, into `value`. The span ends at its first NUL.
[[nodiscard]] bool FindUriAttribute(std::u16string_view span, std::u16string& value);

// Where the scan found the main package's address in a manifest's text.
struct UriMatch {
  std::u16string_view element;  // "MainBundle" or "MainPackage"
  std::size_t elementAt = 0;    // where that name starts in the text
  std::size_t valueAt = 0;      // where the value's first code unit is
  std::u16string value;         // exactly as written
};

// The scan over decoded manifest text: the first "MainBundle" (else
// "MainPackage") up to the next ">", and in it the first Uri value as
// FindUriAttribute finds it. `match` is replaced on true, untouched on false.
[[nodiscard]] bool FindMainPackageUri(std::u16string_view text, UriMatch& match);

// Resolves a Uri value against kManifestUrl with UrlCombineW into a buffer of
// kCombinedUrlCapacity code units. False when the platform refuses, a result
// that does not fit included, and without asking it for a value of
// kCombinedUrlCapacity code units or more; `url` is then untouched.
[[nodiscard]] bool CombineWithManifestUrl(const std::u16string& uri, std::u16string& url);

// Reads the manifest at `manifestPath`, takes the Uri of its main bundle or
// main package and resolves it against kManifestUrl into `packageUrl`.
[[nodiscard]] bool ResolvePackageUrl(const std::u16string& manifestPath,
                                     std::u16string& packageUrl);

}  // namespace bootstrap
