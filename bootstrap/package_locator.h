// Finds the main package's address in a downloaded App Installer manifest.
// The manifest is scanned as text, never parsed as XML: the first
// "MainBundle" (else "MainPackage") up to the next ">", and in it the first
// non-empty quoted Uri value, resolved against the manifest URL.
//
// Every operation replaces its output whole on true and leaves it exactly as
// it was on false.
#pragma once

#include <string>
#include <string_view>

namespace bootstrap {

// The locator's whitespace: U+0009..U+000D, U+0020, U+0085, U+00A0, and from
// U+0100 on whatever the platform classes as space, except U+FFFF.
[[nodiscard]] bool IsUriWhitespace(char16_t c);

// Reads the whole file at `path` and decodes it: UTF-16LE after an FF FE
// mark, otherwise UTF-8 (an EF BB BF mark is dropped). False for a file that
// can't be opened or read, that is empty, holds only the UTF-8 mark, or is
// larger than 2^31 - 1 bytes.
[[nodiscard]] bool ReadTextFile(const std::u16string& path, std::u16string& text);

// Finds the first `Uri` in `span` followed by optional whitespace, "=",
// optional whitespace and a non-empty value in matching quotes, and puts the
// value, exactly as written, into `value`. The span ends at its first NUL.
[[nodiscard]] bool FindUriAttribute(std::u16string_view span, std::u16string& value);

// Reads the manifest at `manifestPath`, takes the Uri of its main bundle or
// main package and resolves it against kManifestUrl into `packageUrl`.
[[nodiscard]] bool ResolvePackageUrl(const std::u16string& manifestPath,
                                     std::u16string& packageUrl);

}  // namespace bootstrap
