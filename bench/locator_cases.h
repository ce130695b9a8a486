// The package locator's benchmark cases, shared by the native program and the
// Windows one: which manifests, what the locator must find in them, and the
// floor each is measured against.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace locator_cases {

enum class Encoding { kUtf8, kUtf16Le };

struct Case {
  Encoding encoding;
  std::uint32_t mebibytes;

  // "utf8-64mib": the manifest's file name without its extension, and the
  // case's name in reports.
  [[nodiscard]] std::string Name() const;
  // Design peak heap use of the locator as a multiple of the file size: the
  // file's bytes and the whole text decoded to UTF-16 (2 bytes for each
  // ASCII byte, 1 for each byte of UTF-16).
  [[nodiscard]] double DesignPeakRatio() const;
  [[nodiscard]] std::uint64_t FileBytes() const;
  // The files are plain ASCII: one code unit for each byte of UTF-8, for
  // each two of UTF-16 after the mark.
  [[nodiscard]] std::size_t TextUnits() const;
};

// Every case, in the order reports list them. bench/manifests.py writes their
// files: plain ASCII text, the main bundle element at the very end.
[[nodiscard]] std::span<const Case> All();

// "<folder><separator><name>.appinstaller".
[[nodiscard]] std::u16string ManifestPath(std::u16string_view folder, char16_t separator,
                                          const Case& c);

// What ResolvePackageUrl must give for every case: the manifest's Uri,
// "Lanternfold.msixbundle", next to the installer's manifest address.
[[nodiscard]] std::u16string ExpectedPackageUrl();

// The floor the locator is measured against: the locator's own read (one
// request for the whole file) and decode (the platform's UTF-8 decoder in
// its two passes, or UTF-16LE units put together from byte pairs) into a
// buffer nobody fills first, and no scan. False when the file can't be read
// or decoded.
struct Text {
  std::unique_ptr<char16_t[]> units;
  std::size_t size = 0;
};
[[nodiscard]] bool ReadAndDecode(const std::u16string& path, Text& text);

}  // namespace locator_cases
