// What the installer will do with an App Installer file on its fallback road,
// worked out with the installer's own code: the same decoding, the same text
// scan, the same UrlCombineW against the same kManifestUrl and the same file
// naming. An XML reading of the file (as App Installer makes it) is set beside
// the scan to catch files that the two read differently.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace preflight {

// One problem (fails a release) or warning, with a stable code for pipelines.
struct Finding {
  std::u16string code;
  std::u16string message;
};

struct ManifestCheck {
  std::u16string encoding;
  // The scan's result; the rest of these are empty or 0 when it found nothing.
  bool found = false;
  std::u16string element;
  std::uint32_t line = 0;
  std::uint32_t column = 0;
  std::u16string uri;
  std::u16string packageUrl;
  std::u16string fileName;
  std::vector<Finding> problems;
  std::vector<Finding> warnings;

  [[nodiscard]] bool Fails(bool strict) const {
    return !problems.empty() || (strict && !warnings.empty());
  }
};

// Checks the manifest at `path`. False, with `check` as it was, when the file
// cannot be opened and read at all.
[[nodiscard]] bool CheckManifest(const std::u16string& path, ManifestCheck& check);

// Whether a Uri value still holds a template's placeholder: "{Name}",
// "${NAME}", "$(Name)", "$name", "%NAME%", "<...>", a "..." elision, or an
// example host ("host", "example.com", "yourcdn...", "*.example"), judged on
// the value and on the URL it resolves to.
[[nodiscard]] bool HoldsPlaceholder(std::u16string_view uri, std::u16string_view resolved);

}  // namespace preflight
