// The package URL, and so the name of the file the shell is asked to open,
// comes from the manifest. Each input is taken as such a URL twice: as
// UTF-16LE code units, as the locator hands it over, and decoded from UTF-8,
// which reaches the characters a server can actually write far more often.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "bootstrap/download_path.h"
#include "tests/fake_platform.h"
#include "tests/fuzz/require.h"

namespace {

using fuzz::Require;

constexpr char16_t kPoison[] = u"<untouched>";

// What the platform may report as the temporary folder: the usual answer,
// one too long for the first ask, a failure and an empty answer.
std::optional<std::u16string> TemporaryFolderCase(int i) {
  switch (i) {
    case 0:
      return u"C:\\Users\\u\\AppData\\Local\\Temp\\";
    case 1:
      return u"C:\\" + std::u16string(296, u'd') + u"\\";
    case 2:
      return std::nullopt;
    default:
      return u"";
  }
}
constexpr int kTemporaryFolderCases = 4;

void CheckFileName(std::u16string_view url) {
  const std::u16string_view visible = url.substr(0, url.find(u'\0'));
  const std::size_t slash = visible.rfind(u'/');
  const bool noSegment = slash == std::u16string_view::npos || slash + 1 == visible.size();

  std::u16string name = kPoison;
  if (bootstrap::FileNameFromUrl(url, name)) {
    Require(!noSegment, "a URL without a last segment gives no name");
    Require(!name.empty(), "a name is not empty");
    Require(name.find_first_of(u"/\\?#") == std::u16string::npos,
            "a name holds no separator, query or fragment");
    Require(name.find(u'\0') == std::u16string::npos, "a name holds no NUL");
    Require(name.find_first_not_of(u'.') != std::u16string::npos, "a name is not only dots");
    Require(visible.substr(slash + 1).starts_with(name), "a name starts the last segment");
  } else if (noSegment) {
    Require(name == kPoison, "a URL without a last segment leaves the name untouched");
  } else {
    Require(name.empty(), "a refused last segment empties the name");
  }
}

void CheckDownloadPath(std::u16string_view url) {
  std::u16string name;
  const bool named = bootstrap::FileNameFromUrl(url, name);
  for (int i = 0; i < kTemporaryFolderCases; ++i) {
    // A fresh fake per call keeps the transcript from growing run after run.
    fake::Reset();
    const std::optional<std::u16string> folder = TemporaryFolderCase(i);
    fake::Fake().script.tempPath = folder;
    const bool usableFolder = folder && !folder->empty();

    std::u16string path = kPoison;
    if (bootstrap::MakeDownloadPath(url, path)) {
      Require(named && usableFolder, "a path needs both a name and a temporary folder");
      Require(path == *folder + name, "a path is the temporary folder followed by the name");
    } else {
      Require(!named || !usableFolder, "a name and a temporary folder make a path");
      Require(path == kPoison, "a failed path leaves the output untouched");
    }
  }
}

void Check(std::u16string_view url) {
  CheckFileName(url);
  CheckDownloadPath(url);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::u16string units(size / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  }
  Check(units);
  Check(fake::FromUtf8(std::string_view(reinterpret_cast<const char*>(data), size)));
  return 0;
}
