#include "bootstrap/download_path.h"

#include <cstdint>
#include <utility>
#include <vector>

#include "bootstrap/constants.h"
#include "bootstrap/text.h"
#include "platform/platform.h"

namespace bootstrap {
namespace {

// A name that the shell would read as a path rather than a file name. The
// segment after the last "/" can come from the query of an attacker's URL
// ("...?a=/..\\..\\x.exe"), so it must not climb out of the temporary folder.
bool EscapesFolder(std::u16string_view name) {
  return name.find(u'\\') != std::u16string_view::npos ||
         name.find_first_not_of(u'.') == std::u16string_view::npos;
}

// Asks once with the usual MAX_PATH-sized buffer and, when the platform says
// that is too small, once more with the size it reported. A truncated buffer
// is never used.
bool TemporaryFolder(std::u16string& folder) {
  std::uint32_t capacity = kTempPathCapacity;
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::vector<char16_t> buffer(capacity, u'\0');
    const std::uint32_t result = platform::TemporaryPath(buffer.data(), capacity);
    if (result == 0) return false;
    if (result < capacity) {
      folder.assign(UpToFirstNul({buffer.data(), capacity}));
      // An empty answer would make the download path relative to the
      // current directory, which may be the user's Downloads folder.
      return !folder.empty();
    }
    capacity = result;
  }
  return false;
}

}  // namespace

bool FileNameFromUrl(std::u16string_view url, std::u16string& name) {
  url = UpToFirstNul(url);
  const std::size_t slash = url.rfind(u'/');
  if (slash == std::u16string_view::npos || slash + 1 == url.size()) return false;

  std::u16string_view segment = url.substr(slash + 1);
  segment = segment.substr(0, segment.find_first_of(u"?#"));
  if (segment.empty() || EscapesFolder(segment)) {
    name.clear();
    return false;
  }
  name.assign(segment);
  return true;
}

bool MakeDownloadPath(std::u16string_view url, std::u16string& path) {
  std::u16string name;
  if (!FileNameFromUrl(url, name)) return false;
  std::u16string folder;
  if (!TemporaryFolder(folder)) return false;
  // The platform's temporary folder already ends in a separator.
  path = std::move(folder);
  path += name;
  return true;
}

}  // namespace bootstrap
