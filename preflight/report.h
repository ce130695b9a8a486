// The manifest check's findings, for a person or, as JSON, for a pipeline.
#pragma once

#include <string>

#include "preflight/manifest_check.h"

namespace preflight {

// One file's block of text, ending in its verdict line.
[[nodiscard]] std::u16string TextReport(const std::u16string& path, const ManifestCheck& check,
                                        bool strict);
// One file that could not be read.
[[nodiscard]] std::u16string TextReadError(const std::u16string& path);

// JSON: an object per file, with the same facts as the text.
class JsonReport {
 public:
  explicit JsonReport(bool strict) : strict_(strict) {}
  void Add(const std::u16string& path, const ManifestCheck& check);
  void AddReadError(const std::u16string& path);
  [[nodiscard]] std::u16string Finish(int exitCode) const;

 private:
  bool strict_;
  std::u16string files_;
};

// The verdict line's word: "ok", "ok with warnings" or "fail".
[[nodiscard]] std::u16string Verdict(const ManifestCheck& check, bool strict);

}  // namespace preflight
