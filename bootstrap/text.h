// Small helpers for wide text as the installer reads it.
#pragma once

#include <string_view>

namespace bootstrap {

// Wide text is read up to its first NUL code unit; nothing after it counts.
inline std::u16string_view UpToFirstNul(std::u16string_view text) {
  return text.substr(0, text.find(u'\0'));
}

}  // namespace bootstrap
