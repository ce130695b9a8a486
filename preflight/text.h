// Small pieces of the manifest check's wording.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace preflight {

inline std::u16string Number(std::uint64_t value) {
  const std::string digits = std::to_string(value);
  return {digits.begin(), digits.end()};
}

inline std::u16string Quoted(std::u16string_view text) {
  return u"\"" + std::u16string(text) + u"\"";
}

}  // namespace preflight
