// A fresh folder on the local disk per test, for tests that need real files.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/fake_platform.h"

class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = ::testing::TempDir() + "installer-XXXXXX";
    path_ = ::mkdtemp(pattern.data());
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  // The folder as the platform reports a temporary folder: with a trailing
  // separator.
  std::u16string Prefix() const { return fake::FromUtf8(path_.string() + "/"); }
  std::filesystem::path Path(const std::string& name) const { return path_ / name; }

  std::u16string Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(Path(name), std::ios::binary | std::ios::trunc) << bytes;
    return fake::FromUtf8(Path(name).string());
  }

 private:
  std::filesystem::path path_;
};

// UTF-16LE bytes with the FF FE mark, for ASCII or BMP text.
inline std::string Utf16LeWithMark(std::u16string_view text) {
  std::string bytes = "\xFF\xFE";
  for (char16_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  return bytes;
}
